"""SQL as SQL Server reads it, with SQLite doing the work.  batch.py turns a batch into tokens and
statements (statements.py names them; control.py: the grammar of IF, WHILE, TRY/CATCH and
friends; ddl.py: CREATE/ALTER/DROP TABLE; insert_bulk.py: INSERT BULK), query.py reads
expressions and queries into the named types of expressions.py, evaluate.py binds them (names,
SQL Server's result types) into the nodes of bound.py and computes what SQLite cannot, sqlite.py
and writes.py turn the bound tree into SQLite SQL, functions.py gives every SQLite connection SQL
Server's collation, LIKE and functions, types.py and datetimes.py hold SQL Server's types and
conversions, collations.py the collation of each code page, messages.py the errors as a batch
meets them, interrupt.py stops a running statement; the catalog is procedures.py (the
procedures' signatures), tables.py (the MES tables and the catalog views), metadata.py and
catalog_procs.py (the catalog procedures).  Nothing here knows TDS: the wire layer and the
session build on it."""
