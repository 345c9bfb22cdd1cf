"""A substitute MES database that speaks TDS, for the station's end-to-end tests and demo."""
