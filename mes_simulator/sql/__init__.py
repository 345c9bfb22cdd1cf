"""SQL as SQL Server reads and runs it: statements, control flow, names, types, the catalog."""
