"""SQL Server's face over SQLite: the statements' pieces that are not the wire's."""
