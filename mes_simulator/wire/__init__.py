"""The TDS side of the server: how requests, replies and values travel on the wire.  tds.py frames
packets and builds the reply tokens; login.py reads PRELOGIN and LOGIN7 and answers them; rpc.py
reads RPC requests into calls and their typed arguments; types.py encodes and decodes values by
their TYPE_INFO (datetimes.py for the date and time types); bulk.py reads bulk-load rows; tls.py
runs TLS inside PRELOGIN packets.  What a request means is the work of the SQL layer and of the
session (engine.py)."""
