"""The MES itself: the station's two stored procedures (procedures.py: uspGetUnitInfo and
uspSaveResult on the units, routes and results tables), the scenarios a test writes to make the
server misbehave (scenarios.py), and the demo data a new database is seeded with (seed.py, also
`python3 -m mes_simulator.mes.seed FILE`).  Nothing here knows about TDS or the SQL engine: it
works on an SQLite connection and is called by the session (engine.py) and the server."""
