"""T-SQL as this server reads and runs it."""
