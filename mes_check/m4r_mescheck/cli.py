"""python -m m4r_mescheck SERVER USER PASSWORD DATABASE [options]: the MES check's command."""

import argparse
import json
import sys

from . import __version__, expected
from .checks import FAIL, PASS, RANK, WARN, Checker

EXIT = {PASS: 0, WARN: 1, FAIL: 2}


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m m4r_mescheck",
        description="Checks, read-only, that the factory's MES answers the station as "
                    "m4r_tessavor needs: login, code page, the two procedures and their "
                    "parameters, the login's right to run them; with --serial, one real "
                    "GetUnitInfo.  Exit code: 0 all PASS, 1 a WARN, 2 a FAIL.")
    parser.add_argument("server", help="as the test program passes it, e.g. 10.0.0.5:1433")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("database")
    parser.add_argument("--serial", help="also run one GetUnitInfo for this unit through the "
                                         "installed m4r_tessavor (never SaveResult)")
    parser.add_argument("--procedure", help="with --serial: the station's procedure")
    parser.add_argument("--employee", help="with --serial: the operator's name")
    parser.add_argument("--line", help="with --serial: the line name")
    parser.add_argument("--connects", type=int, default=20, metavar="N",
                        help="connects to time (default 20)")
    parser.add_argument("--json", action="store_true", help="one JSON object instead of text")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    args = parser.parse_args(argv)
    if args.serial is not None:
        missing = [o for o in ("procedure", "employee", "line") if getattr(args, o) is None]
        if missing:
            parser.error("--serial needs " + ", ".join("--" + m for m in missing))
    if args.connects < 1:
        parser.error("--connects must be at least 1")
    return args


def run(args, driver=None, module=None):
    """The lines of the check, in order."""
    if driver is None:
        from pymssql import _mssql as driver
    checker = Checker(driver, args.server, args.user, args.password, args.database,
                      args.connects)
    lines = [checker.login()]
    if lines[0].status == FAIL:
        return lines
    try:
        lines += [checker.version(), checker.code_page(), checker.gbk_round_trip()]
        for name, wanted in expected.PROCEDURES:
            lines += [checker.parameters(name, wanted), checker.permission(name)]
    finally:
        checker.close()
    if args.serial is not None:
        if module is None:
            try:
                import m4r_tessavor as module
            except ImportError as exc:
                from .checks import Line
                lines.append(Line("GetUnitInfo %s" % args.serial, FAIL,
                                  "m4r_tessavor cannot be imported: %s" % exc,
                                  "install the station's m4r_tessavor wheel for this Python"))
                return lines
        lines.append(checker.unit_query(module, args.serial, args.procedure, args.employee,
                                        args.line))
    return lines


def _write(text):
    """Print text on any console: what its encoding cannot show is replaced, never an error."""
    encoding = getattr(sys.stdout, "encoding", None)
    if encoding:  # a console or file; a StringIO has none and takes any text
        text = text.encode(encoding, "replace").decode(encoding)
    sys.stdout.write(text + "\n")


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    lines = run(args)
    counts = {status: sum(1 for l in lines if l.status == status) for status in EXIT}
    worst = max((l.status for l in lines), key=RANK.get)
    code = EXIT[worst]
    if args.json:
        _write(json.dumps({
            "server": args.server, "user": args.user, "database": args.database,
            "lines": [l.as_dict() for l in lines], "summary": counts, "exit": code,
        }, ensure_ascii=False, sort_keys=True))
        return code
    _write("MES check of database %s on %s as %s (read-only: SELECTs only%s)"
           % (args.database, args.server, args.user,
              ", and one GetUnitInfo" if args.serial is not None else ""))
    for line in lines:
        _write("%-4s  %-30s %s" % (line.status, line.check, line.detail))
        if line.advice:
            _write("      -> " + line.advice)
    _write("summary: %d PASS, %d WARN, %d FAIL; exit code %d"
           % (counts[PASS], counts[WARN], counts[FAIL], code))
    return code
