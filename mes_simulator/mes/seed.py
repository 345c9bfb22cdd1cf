"""The demo MES data: `python3 -m mes_simulator.mes.seed FILE` creates FILE and seeds it."""

import sys

from . import procedures as mes, scenarios

ROUTE = "FT1,FT2,PACK"
SHORT_ROUTE = "FT1,PACK"

# serial, product, route, step, status, failures
UNITS = [
    ("SN0001", "M4R-100", ROUTE, 0, "ACTIVE", 0),
    ("SN0002", "M4R-100", ROUTE, 1, "ACTIVE", 0),
    ("SN0003", "M4R-100", ROUTE, 2, "ACTIVE", 1),
    ("SN0004", "M4R-100", ROUTE, 3, "ACTIVE", 0),
    ("SN0005", "M4R-200", SHORT_ROUTE, 0, "HOLD", 0),
    ("SN0006", "M4R-200", SHORT_ROUTE, 1, "SCRAPPED", 0),
    ("SN0007", "M4R-200", SHORT_ROUTE, 0, "REPAIR", 3),
    ("SN0008", "M4R-100", ROUTE, 0, "ACTIVE", 0),
    ("SN0009", "M4R-100", ROUTE, 0, "ACTIVE", 0),
    ("SN0010", "M4R-200", SHORT_ROUTE, 0, "ACTIVE", 0),
]

# serial, procedure, employee, line, verdict, error_no, tested_at
RESULTS = [
    ("SN0002", "FT1", "张三", "一线", "PASS", "0", "2024-05-06 08:12:40"),
    ("SN0003", "FT1", "李四", "二线", "PASS", "0", "2024-05-06 08:20:05"),
    ("SN0003", "FT2", "李四", "二线", "PASS", "0", "2024-05-06 08:31:17"),
    ("SN0003", "PACK", "王五", "二线", "FAIL", "301", "2024-05-06 08:40:52"),
    ("SN0004", "FT1", "张三", "一线", "PASS", "0", "2024-05-05 14:02:11"),
    ("SN0004", "FT2", "张三", "一线", "PASS", "0", "2024-05-05 14:15:38"),
    ("SN0004", "PACK", "王五", "一线", "PASS", "0", "2024-05-05 14:30:09"),
    ("SN0007", "FT1", "赵六", "二线", "FAIL", "112", "2024-05-06 09:01:00"),
    ("SN0007", "FT1", "赵六", "二线", "FAIL", "112", "2024-05-06 09:05:44"),
    ("SN0007", "FT1", "赵六", "二线", "FAIL", "112", "2024-05-06 09:10:21"),
]


def seed(conn):
    """Fill an empty database with the demo units and their past results."""
    scenarios.create_table(conn)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO units (serial, product, route, step, status, failures)"
                     " VALUES (?, ?, ?, ?, ?, ?)", UNITS)
    conn.executemany("INSERT INTO results (serial, procedure, employee, line, verdict, error_no,"
                     " tested_at) VALUES (?, ?, ?, ?, ?, ?, ?)", RESULTS)
    conn.execute("COMMIT")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python3 -m mes_simulator.mes.seed FILE", file=sys.stderr)
        return 2
    conn = mes.connect(argv[0])
    if conn.execute("SELECT count(*) FROM units").fetchone()[0]:
        print(f"{argv[0]} already holds units; left as it is", file=sys.stderr)
        return 1
    seed(conn)
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
