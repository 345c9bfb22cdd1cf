"""Makes calls of GetUnitInfo and SaveResult from a process of its own and
reports what each gave, with the process's open file descriptors and
resident size before and after.

The driver keeps the last login error process-wide, so that a test of a
fault gets the driver's first-hand text only from a fresh process; and a
fresh process also has nothing open but what its calls left behind.

    python3 fault_calls.py < plan.json > report.json

The plan: {"warmup": N, "calls": [{"function": "GetUnitInfo", "server": ...,
"user": ..., "password": ..., "database": ..., "serial": ..., "procedure":
..., "employee": ..., "line": ..., "result": true, "error_no": 0}, ...]}.
The first `warmup` calls let the driver set up what it keeps for the whole
process; the descriptors are counted before any call, after the warm-up
and at the end.

The report: {"calls": [record, ...], "fds": {"start": ..., "warm": ...,
"end": ...}, "rss_kib": {...}}, a record being {"answer": [code, message]}
or {"raised": type name, "text": str(error), "context": type name,
"number": driver error number, "context_text": str(context)}.
"""

import contextlib
import gc
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import robustness_support as rs  # noqa: E402  (the build on sys.path)

import m4r_tessavor as tv  # noqa: E402


def call(spec):
    args = [spec["server"], spec["user"], spec["password"], spec["database"], spec["serial"],
            spec["procedure"], spec.get("employee", "张三"), spec.get("line", "一线")]
    if spec["function"] == "SaveResult":
        args += [spec.get("result", True), spec.get("error_no", 0)]
    function = getattr(tv, spec["function"])
    try:
        with contextlib.redirect_stdout(rs.Discard()), contextlib.redirect_stderr(rs.Discard()):
            code, message = function(*args)
    except Exception as error:
        context = error.__context__
        return {"raised": type(error).__name__, "text": str(error),
                "context": type(context).__name__ if context is not None else None,
                "number": getattr(context, "number", None),
                "context_text": str(context) if context is not None else None}
    return {"answer": [code, message]}


def main():
    plan = json.load(sys.stdin)
    warmup = plan.get("warmup", 0)
    fds, rss, records = {"start": rs.fd_kinds()}, {"start": rs.rss_kib()}, []
    for index, spec in enumerate(plan["calls"]):
        if index == warmup:
            gc.collect()
            fds["warm"], rss["warm"] = rs.fd_kinds(), rs.rss_kib()
        records.append(call(spec))
    gc.collect()
    fds.setdefault("warm", fds["start"])
    rss.setdefault("warm", rss["start"])
    fds["end"], rss["end"] = rs.fd_kinds(), rs.rss_kib()
    json.dump({"calls": records, "fds": fds, "rss_kib": rss}, sys.stdout)


if __name__ == "__main__":
    main()
