"""A read-only check of the factory's MES, run once from the station before the line starts.

    python -m m4r_mescheck SERVER USER PASSWORD DATABASE [--serial SN ...] [--json]

The four connection parameters are the ones the test program gives m4r_tessavor's GetUnitInfo
and SaveResult.  Runs on the station's own Python 3.6 with the station's pymssql.
"""

__version__ = "1.0.0"
