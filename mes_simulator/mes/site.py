"""How the MES this simulator plays is set up where it differs from the usual: the login's
right to run the procedures, a slow login, and procedures whose parameters differ.  The MES
check's tests make each of its lines warn or fail with these; a developer can try the check
against them by hand (docs/mes-check.md)."""

import re

from ..errors import SqlError
from ..sql import batch, procedures

_PARAMETER = re.compile(r"\s*(\w+)\s*:\s*(\d+)\s*=\s*(.+)$", re.S)


def change_parameter(spec):
    """--parameter PROC:N=@name type [OUTPUT]: the procedure's parameter N (from 1) renamed,
    retyped or made OUTPUT, or added when N is one past the last; for the catalog and for the
    calls alike.  Raises ValueError for a spec that says no such thing."""
    match = _PARAMETER.match(spec)
    if match is None:
        raise ValueError(f"not PROC:N=@name type [OUTPUT]: {spec!r}")
    name, place, declaration = match.group(1), int(match.group(2)), match.group(3)
    procedure = procedures.PROCEDURES.get(name.casefold())
    if procedure is None:
        known = ", ".join(p.name for p in procedures.PROCEDURES.values())
        raise ValueError(f"no procedure {name!r}: {known}")
    try:
        (param,) = batch.parse_declarations(declaration)
    except SqlError as exc:
        raise ValueError(f"not a parameter declaration: {declaration!r} ({exc.text})") from None
    params = list(procedure.params)
    if not 1 <= place <= len(params) + 1:
        raise ValueError(f"{procedure.name} has {len(params)} parameters: no place {place}")
    params[place - 1:place] = [param]
    procedures.PROCEDURES[name.casefold()] = procedures.Procedure(procedure.name, tuple(params))
