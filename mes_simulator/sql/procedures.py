"""The procedures the database has: the two MES procedures' signatures (their parameters, in
order, with SQL Server's types) and the names of the system procedures of the RPC interface.
What the MES procedures do is mes/procedures.py's."""

from dataclasses import dataclass, field

from . import types as sqltypes
from .types import SqlType


@dataclass(frozen=True)
class Param:
    name: str
    type: SqlType
    output: bool = False


@dataclass(frozen=True)
class Procedure:
    name: str
    params: tuple        # Param, in order
    by_name: dict = field(init=False, repr=False, compare=False)  # case-folded name: Param

    def __post_init__(self):
        object.__setattr__(self, "by_name", {p.name.casefold(): p for p in self.params})

    @property
    def inputs(self):
        return [p for p in self.params if not p.output]


_NV, _V = SqlType("nvarchar", 4000), SqlType("varchar", 8000)
PROCEDURES = {p.name.casefold(): p for p in (
    Procedure("uspGetUnitInfo", (
        Param("@SerialNumber", _NV), Param("@Procedure", _V), Param("@Employee", _V),
        Param("@LineName", _V), Param("@OutPutxmls", SqlType("nvarchar", 4000), True),
        Param("@RETURN", sqltypes.INT, True))),
    Procedure("uspSaveResult", (
        Param("@SerialNumber", _NV), Param("@Procedure", _V), Param("@Employee", _V),
        Param("@LineName", _V), Param("@Result", _V), Param("@ErrorNo", _NV),
        Param("@Msg", SqlType("nvarchar", 500), True), Param("@RETURN", sqltypes.INT, True))),
)}
# The system procedures of the RPC interface (also callable by EXEC).
SYSTEM_PROCEDURES = {"sp_executesql", "sp_prepare", "sp_execute", "sp_prepexec", "sp_unprepare"}
