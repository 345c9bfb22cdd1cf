"""SQL: what statements mean (binding, types) and how SQLite runs them."""
