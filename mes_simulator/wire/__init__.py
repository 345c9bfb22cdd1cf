"""The TDS side of the server: how values, requests and bulk loads travel on the wire."""
