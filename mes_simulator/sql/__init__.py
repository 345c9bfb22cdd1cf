"""SQL as SQL Server reads it: statements, names, types and the catalog."""
