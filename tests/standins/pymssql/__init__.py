"""A stand-in for the pymssql package: only its low-level driver `_mssql`."""
