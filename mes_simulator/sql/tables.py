"""The MES tables as SQL Server tables of database MES, schema dbo, and the catalog views a
client reads about them (INFORMATION_SCHEMA, sys.*).

The tables' SQL Server types are declared here once; their rows live in the SQLite file
(mes.SCHEMA, scenarios.SCHEMA), from which `load` reads them as SQL Server values and into which
`insert`, `update` and `delete` write.
"""

import re
import sqlite3
import zlib
from collections import namedtuple
from datetime import datetime, timezone

from ..errors import SqlError
from .collations import collation_name
from . import types as sqltypes
from .procedures import PROCEDURES
from .functions import to_sqlite
from .types import SqlType

Column = namedtuple("Column", "name type nullable default identity")
Relation = namedtuple("Relation", "schema name columns kind")  # kind: "mes" or "catalog"

_NV = lambda n: SqlType("nvarchar", n)  # noqa: E731
_INT, _FLOAT = sqltypes.INT, SqlType("float")
_TINY, _SMALL, _BIT = SqlType("tinyint"), SqlType("smallint"), SqlType("bit")
_SYSNAME = _NV(128)
_DATETIME = SqlType("datetime")


def _col(name, sqltype, nullable=False, default=None, identity=False):
    return Column(name, sqltype, nullable, default, identity)


MES_TABLES = {
    "units": (
        _col("serial", _NV(50)), _col("product", _NV(50)), _col("route", _NV(200)),
        _col("step", _INT, default="((0))"), _col("status", _NV(10), default="('ACTIVE')"),
        _col("failures", _INT, default="((0))")),
    "results": (
        _col("id", _INT, identity=True), _col("serial", _NV(50)), _col("procedure", _NV(50)),
        _col("employee", _NV(50)), _col("line", _NV(50)), _col("verdict", _NV(10)),
        _col("error_no", _NV(50), True),
        _col("tested_at", SqlType("datetime2", 0, 0, 0), default="(sysutcdatetime())")),
    "scenarios": (
        _col("id", _INT, identity=True), _col("serial", _NV(50), True),
        _col("user_name", _NV(128), True), _col("proc", _NV(128), True),
        _col("action", _NV(20)), _col("text", _NV(4000), True), _col("code", _INT, True),
        _col("columns", _INT, default="((2))"), _col("severity", _INT, default="((16))"),
        _col("state", _INT, default="((1))"), _col("delay", _FLOAT, default="((0))"),
        _col("partial", _INT, default="((0))"), _col("once", _INT, default="((1))"),
        _col("hits", _INT, default="((0))"), _col("args", _NV(4000), True)),
}
KEYS = {"units": "serial", "results": "id", "scenarios": "id"}
CHECKS = {"units": "status", "scenarios": "action"}
SCHEMAS = {"dbo": 1, "INFORMATION_SCHEMA": 3, "sys": 4}
OBJECT_IDS = {"units": 581577110, "results": 613577224, "scenarios": 645577338,
              "uspGetUnitInfo": 677577452, "uspSaveResult": 709577566,
              "PK_units": 741577680, "PK_results": 773577794, "PK_scenarios": 805577908}
CREATED = datetime(2024, 5, 1, 8, 0, 0)

# name: (system_type_id, max_length, precision, scale)
SYSTEM_TYPES = {
    "image": (34, 16, 0, 0), "text": (35, 16, 0, 0), "uniqueidentifier": (36, 16, 0, 0),
    "date": (40, 3, 10, 0), "time": (41, 5, 16, 7), "datetime2": (42, 8, 27, 7),
    "datetimeoffset": (43, 10, 34, 7), "tinyint": (48, 1, 3, 0), "smallint": (52, 2, 5, 0),
    "int": (56, 4, 10, 0), "smalldatetime": (58, 4, 16, 0), "real": (59, 4, 24, 0),
    "money": (60, 8, 19, 4), "datetime": (61, 8, 23, 3), "float": (62, 8, 53, 0),
    "sql_variant": (98, 8016, 0, 0), "ntext": (99, 16, 0, 0), "bit": (104, 1, 1, 0),
    "decimal": (106, 17, 38, 38), "numeric": (108, 17, 38, 38), "smallmoney": (122, 4, 10, 4),
    "bigint": (127, 8, 19, 0), "varbinary": (165, 8000, 0, 0), "varchar": (167, 8000, 0, 0),
    "binary": (173, 8000, 0, 0), "char": (175, 8000, 0, 0), "timestamp": (189, 8, 0, 0),
    "nvarchar": (231, 8000, 0, 0), "nchar": (239, 8000, 0, 0), "xml": (241, -1, 0, 0),
    "sysname": (231, 256, 0, 0),
}




def max_length(t):
    """sys.columns' and sys.parameters' max_length of a type: bytes, -1 for a max type."""
    if t.name in ("nvarchar", "nchar"):
        return -1 if t.size == sqltypes.MAX else 2 * t.size
    if t.name in sqltypes.SIZED:
        return -1 if t.size == sqltypes.MAX else t.size
    if t.name in ("decimal", "numeric"):
        return sqltypes._decimal_size(t.precision)
    if t.name == "datetime2":
        return 6 if t.scale <= 2 else 7 if t.scale <= 4 else 8
    return SYSTEM_TYPES[t.name][1]


def _precision_scale(t):
    if t.name in ("decimal", "numeric"):
        return t.precision, t.scale
    if t.name == "datetime2":
        return 20 + t.scale if t.scale else 19, t.scale
    _id, _len, precision, scale = SYSTEM_TYPES[t.name]
    return precision, scale


def _numeric_info(t):
    """INFORMATION_SCHEMA's NUMERIC_PRECISION, _RADIX, _SCALE, DATETIME_PRECISION."""
    if t.name in sqltypes.INT_RANGES and t.name != "bit" or t.name in sqltypes.DECIMALS:
        precision, scale = _precision_scale(t)
        return precision, 10, scale, None
    if t.name in sqltypes.FLOATS:
        return SYSTEM_TYPES[t.name][2], 2, None, None
    if t.name in ("datetime2", "time", "datetimeoffset"):
        return None, None, None, t.scale
    if t.name in ("datetime", "smalldatetime", "date"):
        return None, None, None, {"datetime": 3}.get(t.name, 0)
    return None, None, None, None


def _char_info(t, collation):
    """CHARACTER_MAXIMUM_LENGTH, CHARACTER_OCTET_LENGTH, CHARACTER_SET_NAME, COLLATION_NAME."""
    if t.name in sqltypes.CHARACTER:
        if t.size == sqltypes.MAX:
            return -1, -1, "UNICODE" if t.name in sqltypes.UNICODE else "cp936", collation
        octets = 2 * t.size if t.name in sqltypes.UNICODE else t.size
        return t.size, octets, "UNICODE" if t.name in sqltypes.UNICODE else "cp936", collation
    if t.name in sqltypes.BINARY:
        size = -1 if t.size == sqltypes.MAX else t.size
        return size, size, None, None
    return None, None, None, None


# ---------------------------------------------------------------- catalog views

def _cols(layout):
    """'NAME type, ...' -> ((name, SqlType), ...)."""
    out = []
    for item in layout.split(","):
        name, kind = item.split()
        out.append((name, {"s": _SYSNAME, "i": _INT, "t": _TINY, "h": _SMALL, "b": _BIT,
                           "d": _DATETIME, "v3": SqlType("varchar", 3),
                           "v10": SqlType("varchar", 10), "v20": SqlType("varchar", 20),
                           "v32": SqlType("varchar", 32), "v60": SqlType("varchar", 60),
                           "v128": SqlType("varchar", 128), "v254": SqlType("varchar", 254),
                           "v255": SqlType("varchar", 255), "n134": _NV(134),
                           "n60": _NV(60), "n4000": _NV(4000), "nmax": _NV(sqltypes.MAX),
                           "c2": SqlType("char", 2), "c1": SqlType("char", 1),
                           "v": SqlType("nvarchar", 128)}[kind]))
    return tuple(out)


CATALOG = {
    ("information_schema", "tables"): _cols(
        "TABLE_CATALOG s, TABLE_SCHEMA s, TABLE_NAME s, TABLE_TYPE v10"),
    ("information_schema", "columns"): _cols(
        "TABLE_CATALOG s, TABLE_SCHEMA s, TABLE_NAME s, COLUMN_NAME s, ORDINAL_POSITION i, "
        "COLUMN_DEFAULT n4000, IS_NULLABLE v3, DATA_TYPE s, CHARACTER_MAXIMUM_LENGTH i, "
        "CHARACTER_OCTET_LENGTH i, NUMERIC_PRECISION t, NUMERIC_PRECISION_RADIX h, "
        "NUMERIC_SCALE i, DATETIME_PRECISION h, CHARACTER_SET_CATALOG s, CHARACTER_SET_SCHEMA s, "
        "CHARACTER_SET_NAME s, COLLATION_CATALOG s, COLLATION_SCHEMA s, COLLATION_NAME s, "
        "DOMAIN_CATALOG s, DOMAIN_SCHEMA s, DOMAIN_NAME s"),
    ("information_schema", "routines"): _cols(
        "SPECIFIC_CATALOG s, SPECIFIC_SCHEMA s, SPECIFIC_NAME s, ROUTINE_CATALOG s, "
        "ROUTINE_SCHEMA s, ROUTINE_NAME s, ROUTINE_TYPE v20, DATA_TYPE s, "
        "ROUTINE_BODY v20, ROUTINE_DEFINITION n4000, IS_DETERMINISTIC v10, SQL_DATA_ACCESS v20, "
        "CREATED d, LAST_ALTERED d"),
    ("information_schema", "parameters"): _cols(
        "SPECIFIC_CATALOG s, SPECIFIC_SCHEMA s, SPECIFIC_NAME s, ORDINAL_POSITION i, "
        "PARAMETER_MODE v10, IS_RESULT v10, AS_LOCATOR v10, PARAMETER_NAME s, DATA_TYPE s, "
        "CHARACTER_MAXIMUM_LENGTH i, CHARACTER_OCTET_LENGTH i, COLLATION_NAME s, "
        "CHARACTER_SET_NAME s, NUMERIC_PRECISION t, NUMERIC_PRECISION_RADIX h, NUMERIC_SCALE i, "
        "DATETIME_PRECISION h"),
    ("information_schema", "schemata"): _cols(
        "CATALOG_NAME s, SCHEMA_NAME s, SCHEMA_OWNER s, DEFAULT_CHARACTER_SET_CATALOG s, "
        "DEFAULT_CHARACTER_SET_SCHEMA s, DEFAULT_CHARACTER_SET_NAME s"),
    ("information_schema", "table_constraints"): _cols(
        "CONSTRAINT_CATALOG s, CONSTRAINT_SCHEMA s, CONSTRAINT_NAME s, TABLE_CATALOG s, "
        "TABLE_SCHEMA s, TABLE_NAME s, CONSTRAINT_TYPE v20, IS_DEFERRABLE v3, "
        "INITIALLY_DEFERRED v3"),
    ("information_schema", "key_column_usage"): _cols(
        "CONSTRAINT_CATALOG s, CONSTRAINT_SCHEMA s, CONSTRAINT_NAME s, TABLE_CATALOG s, "
        "TABLE_SCHEMA s, TABLE_NAME s, COLUMN_NAME s, ORDINAL_POSITION i"),
    ("information_schema", "constraint_column_usage"): _cols(
        "TABLE_CATALOG s, TABLE_SCHEMA s, TABLE_NAME s, COLUMN_NAME s, CONSTRAINT_CATALOG s, "
        "CONSTRAINT_SCHEMA s, CONSTRAINT_NAME s"),
    ("information_schema", "referential_constraints"): _cols(
        "CONSTRAINT_CATALOG s, CONSTRAINT_SCHEMA s, CONSTRAINT_NAME s, "
        "UNIQUE_CONSTRAINT_CATALOG s, UNIQUE_CONSTRAINT_SCHEMA s, UNIQUE_CONSTRAINT_NAME s, "
        "MATCH_OPTION v10, UPDATE_RULE v20, DELETE_RULE v20"),
    ("information_schema", "views"): _cols(
        "TABLE_CATALOG s, TABLE_SCHEMA s, TABLE_NAME s, VIEW_DEFINITION n4000, "
        "CHECK_OPTION v10, IS_UPDATABLE v10"),
    ("information_schema", "sequences"): _cols(
        "SEQUENCE_CATALOG s, SEQUENCE_SCHEMA s, SEQUENCE_NAME s, DATA_TYPE s"),
    ("sys", "schemas"): _cols("name s, schema_id i, principal_id i"),
    ("sys", "databases"): _cols(
        "name s, database_id i, source_database_id i, owner_sid i, create_date d, "
        "compatibility_level t, collation_name s, user_access t, user_access_desc n60, "
        "is_read_only b, state t, state_desc n60, recovery_model_desc n60, "
        "is_read_committed_snapshot_on b, snapshot_isolation_state t"),
    ("sys", "objects"): None, ("sys", "tables"): None, ("sys", "procedures"): None,
    ("sys", "views"): None, ("sys", "all_objects"): None, ("sys", "system_views"): None,
    ("sys", "columns"): _cols(
        "object_id i, name s, column_id i, system_type_id t, user_type_id i, max_length h, "
        "precision t, scale t, collation_name s, is_nullable b, is_ansi_padded b, "
        "is_rowguidcol b, is_identity b, is_computed b, default_object_id i"),
    ("sys", "parameters"): _cols(
        "object_id i, name s, parameter_id i, system_type_id t, user_type_id i, max_length h, "
        "precision t, scale t, is_output b, is_readonly b, is_nullable b, has_default_value b"),
    ("sys", "types"): _cols(
        "name s, system_type_id t, user_type_id i, schema_id i, principal_id i, max_length h, "
        "precision t, scale t, collation_name s, is_nullable b, is_user_defined b, "
        "is_assembly_type b, is_table_type b"),
    ("sys", "indexes"): _cols(
        "object_id i, name s, index_id i, type t, type_desc n60, is_unique b, "
        "is_primary_key b, is_unique_constraint b, is_disabled b, has_filter b, "
        "filter_definition nmax"),
    ("sys", "index_columns"): _cols(
        "object_id i, index_id i, index_column_id i, column_id i, key_ordinal t, "
        "is_descending_key b, is_included_column b"),
    ("sys", "identity_columns"): _cols(
        "object_id i, name s, column_id i, is_identity b, seed_value i, increment_value i, "
        "last_value i"),
    ("sys", "computed_columns"): _cols(
        "object_id i, name s, column_id i, definition nmax, is_persisted b"),
    ("sys", "foreign_keys"): _cols(
        "name s, object_id i, parent_object_id i, referenced_object_id i, "
        "delete_referential_action t, delete_referential_action_desc n60, "
        "update_referential_action t, update_referential_action_desc n60"),
    ("sys", "foreign_key_columns"): _cols(
        "constraint_object_id i, constraint_column_id i, parent_object_id i, "
        "parent_column_id i, referenced_object_id i, referenced_column_id i"),
    ("sys", "key_constraints"): _cols(
        "name s, object_id i, parent_object_id i, type c2, unique_index_id i"),
    ("sys", "check_constraints"): _cols(
        "name s, object_id i, parent_object_id i, parent_column_id i, definition nmax, "
        "is_disabled b"),
    ("sys", "default_constraints"): _cols(
        "name s, object_id i, parent_object_id i, parent_column_id i, definition nmax"),
    ("sys", "extended_properties"): _cols(
        "class t, major_id i, minor_id i, name s, value nmax"),
    ("sys", "sequences"): _cols("name s, object_id i, schema_id i"),
    ("sys", "synonyms"): _cols("name s, object_id i, schema_id i, base_object_name nmax"),
    ("sys", "database_principals"): _cols(
        "name s, principal_id i, type c1, type_desc n60, default_schema_name s, "
        "authentication_type_desc n60"),
}
_OBJECTS = _cols("name s, object_id i, principal_id i, schema_id i, parent_object_id i, "
                 "type c2, type_desc n60, create_date d, modify_date d, is_ms_shipped b, "
                 "is_published b, is_schema_published b")
for _key in [k for k, v in CATALOG.items() if v is None]:
    CATALOG[_key] = _OBJECTS


def relation(parts, database):
    """The Relation a (schema-)qualified table name means; None if there is none."""
    parts = tuple(p.casefold() for p in parts)
    if len(parts) == 3:
        if parts[0] != database.casefold() and parts[0] != "master":
            return None
        parts = parts[1:]
    if len(parts) == 1 or len(parts) == 2 and parts[0] == "":  # MES..units is MES.dbo.units
        parts = ("dbo",) + parts[-1:]
    if len(parts) != 2:
        return None
    schema, name = parts
    if schema == "dbo" and name in MES_TABLES:
        return Relation("dbo", name, tuple((c.name, c.type) for c in MES_TABLES[name]), "mes")
    columns = CATALOG.get(parts)
    if columns is not None:
        return Relation("INFORMATION_SCHEMA" if schema == "information_schema" else "sys",
                        name, columns, "catalog")
    return None


def object_id(name, database):
    """OBJECT_ID('dbo.units'): the id of a table or procedure of the MES; None if none."""
    parts = tuple(p.strip("[]\"") for p in name.split("."))
    if len(parts) == 3 and parts[0].casefold() == database.casefold():
        parts = parts[1:]
    if len(parts) == 2 and parts[0].casefold() == "dbo":
        parts = parts[1:]
    if len(parts) != 1:
        return None
    for known, number in OBJECT_IDS.items():
        if known.casefold() == parts[0].casefold() and not known.startswith("PK_"):
            return number
    return None


def object_name(number):
    for known, value in OBJECT_IDS.items():
        if value == number:
            return known
    return None


def column_name(number, column_id):
    """COL_NAME(object_id, column_id): the name of a MES table's column; None if none."""
    columns = MES_TABLES.get(object_name(number), ())
    return columns[column_id - 1].name if column_id is not None and \
        0 < column_id <= len(columns) else None


_KEY_TYPES = {"PRIMARY KEY": ("PK", "PRIMARY_KEY_CONSTRAINT"),
              "UNIQUE": ("UQ", "UNIQUE_CONSTRAINT")}


def _keys(session):
    """[(table, its object id, kind, name, columns)] of the PRIMARY KEY and UNIQUE constraints
    of the MES tables and the clients' tables."""
    return [(t, OBJECT_IDS[t], "PRIMARY KEY", "PK_" + t, (KEYS[t],)) for t in MES_TABLES] + list(
        getattr(session, "user_keys", list)())


def _key_id(name):
    """A constraint's object id: a MES key's own, else a number of its name."""
    return OBJECT_IDS.get(name) or name_id(name)


def name_id(name):
    """The object id of a client's object: a number of its name (stable across restarts)."""
    return 1000000000 + zlib.crc32(name.casefold().encode("utf-8")) % 1000000000


def catalog_rows(schema, name, session):
    """The rows of a catalog view, as the MES has them."""
    db = session.database
    coll = collation_name(session.codepage)
    key = (schema.casefold(), name)
    out = []
    procs = [(p.name, OBJECT_IDS[p.name], p) for p in PROCEDURES.values()]
    tables = [(t, OBJECT_IDS[t], MES_TABLES[t]) for t in MES_TABLES] + list(
        getattr(session, "user_tables", list)())
    if key == ("information_schema", "tables"):
        out = [(db, "dbo", t, "BASE TABLE") for t, _i, _c in tables]
    elif key == ("information_schema", "columns"):
        for t, _i, cols in tables:
            for n, c in enumerate(cols, 1):
                out.append((db, "dbo", t, c.name, n, c.default, "YES" if c.nullable else "NO",
                             c.type.name) + _char_info(c.type, coll)[:2]
                            + _numeric_info(c.type)
                            + (None, None, _char_info(c.type, coll)[2], None, None,
                               _char_info(c.type, coll)[3], None, None, None))
    elif key == ("information_schema", "routines"):
        out = [(db, "dbo", p, db, "dbo", p, "PROCEDURE", None, "SQL", None, "NO", "MODIFIES",
                CREATED, CREATED) for p, _i, _p in procs]
    elif key == ("information_schema", "parameters"):
        for p, _i, proc in procs:
            for n, param in enumerate(proc.params, 1):
                chars = _char_info(param.type, coll)
                out.append((db, "dbo", p, n, "INOUT" if param.output else "IN", "NO", "NO",
                            param.name, param.type.name, chars[0], chars[1], chars[3],
                            chars[2]) + _numeric_info(param.type))
    elif key == ("information_schema", "schemata"):
        out = [(db, s, "dbo" if s == "dbo" else s, None, None, "iso_1") for s in SCHEMAS]
    elif key == ("information_schema", "table_constraints"):
        out = [(db, "dbo", k, db, "dbo", t, kind, "NO", "NO")
               for t, _i, kind, k, _c in _keys(session)]
    elif key == ("information_schema", "constraint_column_usage"):
        out = [(db, "dbo", t, c, db, "dbo", k) for t, _i, _kind, k, columns in _keys(session)
               for c in columns]
    elif key == ("information_schema", "key_column_usage"):
        out = [(db, "dbo", k, db, "dbo", t, c, n) for t, _i, _kind, k, columns in _keys(session)
               for n, c in enumerate(columns, 1)]
    elif key == ("sys", "schemas"):
        out = [(s, i, 1 if s == "dbo" else i) for s, i in SCHEMAS.items()]
    elif key == ("sys", "databases"):
        out = [(name_, i, None, None, CREATED, 150, coll, 0, "MULTI_USER", 0, 0, "ONLINE",
                "FULL", 0, 0) for i, name_ in enumerate(["master", "tempdb", "model", "msdb", db], 1)]
    elif key in (("sys", "objects"), ("sys", "all_objects"), ("sys", "tables"),
                 ("sys", "procedures")):
        if key[1] != "procedures":
            out += [(t, i, None, 1, 0, "U ", "USER_TABLE", CREATED, CREATED, 0, 0, 0)
                    for t, i, _c in tables]
        if key[1] != "tables":
            out += [(p, i, None, 1, 0, "P ", "SQL_STORED_PROCEDURE", CREATED, CREATED, 0, 0, 0)
                    for p, i, _p in procs]
        if key[1] in ("objects", "all_objects"):
            out += [(k, _key_id(k), None, 1, i, _KEY_TYPES[kind][0], _KEY_TYPES[kind][1],
                     CREATED, CREATED, 0, 0, 0) for _t, i, kind, k, _c in _keys(session)]
    elif key == ("sys", "system_views"):
        out = [(f"{s[1]}", -400 - n, None, 4 if s[0] == "sys" else 3, 0, "V ", "VIEW", CREATED,
                CREATED, 1, 0, 0) for n, s in enumerate(sorted(CATALOG))]
    elif key == ("sys", "columns"):
        for t, i, cols in tables:
            for n, c in enumerate(cols, 1):
                type_id = SYSTEM_TYPES[c.type.name][0]
                precision, scale = _precision_scale(c.type)
                out.append((i, c.name, n, type_id, type_id, max_length(c.type), precision,
                            scale, coll if c.type.name in sqltypes.CHARACTER else None,
                            int(c.nullable), 1, 0, int(c.identity), 0, 0))
    elif key == ("sys", "parameters"):
        for p, i, proc in procs:
            for n, param in enumerate(proc.params, 1):
                type_id = SYSTEM_TYPES[param.type.name][0]
                precision, scale = _precision_scale(param.type)
                out.append((i, param.name, n, type_id, type_id, max_length(param.type),
                            precision, scale, int(param.output), 0, 1, 0))
    elif key == ("sys", "types"):
        for t, (type_id, length, precision, scale) in SYSTEM_TYPES.items():
            out.append((t, type_id, 256 if t == "sysname" else type_id, 4, None, length,
                        precision, scale, coll if t in sqltypes.CHARACTER else None,
                        int(t != "sysname"), 0, 0, 0))
    elif key == ("sys", "indexes"):
        out = [(i, "PK_" + t, 1, 1, "CLUSTERED", 1, 1, 0, 0, 0, None) for t, i, _c in tables
               if t in KEYS]
    elif key == ("sys", "index_columns"):
        out = [(i, 1, 1, [c.name for c in cols].index(KEYS[t]) + 1, 1, 0, 0)
               for t, i, cols in tables if t in KEYS]
    elif key == ("sys", "identity_columns"):
        out = [(i, c.name, n, 1, 1, 1, None) for t, i, cols in tables
               for n, c in enumerate(cols, 1) if c.identity]
    elif key == ("sys", "key_constraints"):
        for t, i, kind, k, _c in _keys(session):
            index = 1 + sum(1 for row in out if row[2] == i)
            out.append((k, _key_id(k), i, _KEY_TYPES[kind][0], index))
    elif key == ("sys", "database_principals"):
        out = [("dbo", 1, "S", "SQL_USER", "dbo", "INSTANCE"),
               ("guest", 2, "S", "SQL_USER", "guest", "NONE"),
               ("INFORMATION_SCHEMA", 3, "S", "SQL_USER", None, "NONE"),
               ("sys", 4, "S", "SQL_USER", None, "NONE"),
               ("public", 0, "R", "DATABASE_ROLE", None, "NONE")]
    return out


# ---------------------------------------------------------------- the MES tables' rows

def _to_sqlite(value, sqltype):
    if isinstance(value, datetime) and sqltype.name == "datetime2" and sqltype.scale == 0:
        return value.strftime("%Y-%m-%d %H:%M:%S")
    if sqltype.name == "float" and value is not None:
        return float(value)
    return to_sqlite(value)


def constraint_error(exc, name, verb, row=None, db=None, find=None):
    """The error SQL Server gives for a row a constraint refused; it ends the statement.
    row: the row written ({column: value}); else find(key columns) gives the duplicate key's
    values (or None), and db, the connection, the names of a client's table's keys."""
    err = _constraint_error(exc, name, verb, row, db, find)
    err.terminated = True
    return err


def _constraint_error(exc, name, verb, row, db, find):
    text = str(exc)
    table = stored_name(db, name).split(TEMPORARY)[0]
    if "NOT NULL" in text:
        column = text.rsplit(".", 1)[-1]
        return SqlError(515, f"Cannot insert the value NULL into column '{column}', table "
                             f"'{qualified(table)}'; column does not allow nulls. {verb} fails.",
                        state=2)
    if "UNIQUE" in text or "PRIMARY" in text:
        failed = tuple(c.strip().rsplit(".", 1)[-1] for c in text.partition(":")[2].split(","))
        kind, key, columns = _violated(db, name, failed)
        values = tuple(row.get(c) for c in columns) if row is not None else \
            find(columns) if find is not None else None
        shown = ", ".join(_key_text(v) for v in values) if values is not None else ""
        if kind == "INDEX":
            return SqlError(2601, f"Cannot insert duplicate key row in object 'dbo.{table}' with "
                                  f"unique index '{key}'. The duplicate key value is ({shown}).",
                            severity=14)
        return SqlError(2627, f"Violation of {'UNIQUE' if kind == 'UNIQUE' else 'PRIMARY'} KEY "
                              f"constraint '{key}'. Cannot insert duplicate key in object "
                              f"'dbo.{table}'. The duplicate key value is ({shown}).",
                        severity=14)
    if "CHECK" in text:
        column = CHECKS.get(name, "")
        return SqlError(547, f'The {verb} statement conflicted with the CHECK constraint '
                             f'"CK_{name}_{column}". The conflict occurred in database "MES", '
                             f'table "dbo.{name}", column \'{column}\'.', state=0)
    return SqlError(50000, f"MES database error: {exc}")


def stored_name(db, name):
    """A table's name as its CREATE TABLE wrote it (name: as a statement wrote it)."""
    if db is None or name in MES_TABLES:
        return name
    found = db.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ? "
                       "COLLATE NOCASE", (name,)).fetchone()
    return found[0] if found else name


def _key_text(value):
    if value is None:
        return "<NULL>"
    if isinstance(value, bytes):
        return "0x" + value.hex().upper()
    return str(value)


def _violated(db, name, failed):
    """(kind, name, columns) of the key of a table whose columns failed: a MES table's primary
    key, or the client's table's constraint or unique index on those columns."""
    if name in MES_TABLES:
        return "PRIMARY KEY", f"PK_{name}", (KEYS[name],)
    found = unique_keys(db, name) if db is not None else []
    folded = tuple(c.casefold() for c in failed)
    for kind, key, columns in found:
        if tuple(c.casefold() for c in columns) == folded:
            return kind, key, columns
    # a key SQLite knows without a name (a table made before keys were named)
    primary = sorted((r[5], r[1].casefold()) for r in db.execute(
        f'PRAGMA table_info("{_quoted(name)}")') if r[5]) if db is not None else []
    kind = "PRIMARY KEY" if folded == tuple(c for _n, c in primary) else "UNIQUE"
    return kind, key_name(kind, stored_name(db, name), failed), failed


# A client's table's keys, as ddl.create_table writes them into its SQLite definition: each a
# named constraint, the one of an IDENTITY primary key beside its column (SQLite's rowid).
TEMPORARY = "@"  # between a temporary table's name and its session's number
_QUOTED = r'"((?:[^"]|"")*)"'
_TABLE_KEY = re.compile(rf'CONSTRAINT {_QUOTED} (PRIMARY KEY|UNIQUE) \(((?:{_QUOTED}(?:, )?)+)\)')
_ROWID_KEY = re.compile(rf'{_QUOTED} INTEGER CONSTRAINT {_QUOTED} PRIMARY KEY')


def _quoted(name):
    return name.replace('"', '""')


def _unquoted(text):
    return text.replace('""', '"')


def unique_keys(db, name):
    """[(kind, name, columns)] of a client's table's PRIMARY KEY and UNIQUE constraints and
    unique indexes (kind "INDEX")."""
    found = db.execute("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ? "
                       "COLLATE NOCASE", (name,)).fetchone()
    definition = found[0] if found else ""
    out = [(kind, _unquoted(key), tuple(_unquoted(c) for c in re.findall(_QUOTED, columns)))
           for key, kind, columns, _last in _TABLE_KEY.findall(definition)]
    out += [("PRIMARY KEY", _unquoted(key), (_unquoted(column),))
            for column, key in _ROWID_KEY.findall(definition)]
    for (index,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND "
                               "tbl_name = ? COLLATE NOCASE AND sql LIKE 'CREATE UNIQUE INDEX%'",
                               (name,)):
        columns = tuple(r[2] for r in db.execute(f'PRAGMA index_info("{_quoted(index)}")'))
        out.append(("INDEX", index[len(name) + 1:], columns))
    return out


def qualified(table):
    """A table's name as SQL Server's messages name it: a temporary table is tempdb's."""
    base = table.split(TEMPORARY)[0]
    return f"{'tempdb' if base.startswith('#') else 'MES'}.dbo.{base}"


def key_name(kind, table, columns):
    """The name SQL Server makes up for a key constraint declared without one: PK__ or UQ__,
    the table's name (its first 8 characters), 16 hexadecimal digits (here of its name and
    columns, so that the same key is named alike)."""
    table = table.split(TEMPORARY)[0]
    digits = zlib.crc32(f"{kind}|{table}|{'|'.join(columns)}".casefold().encode("utf-8"))
    more = zlib.crc32(f"{table}|{digits}".casefold().encode("utf-8"))
    return f"{'PK' if kind == 'PRIMARY KEY' else 'UQ'}__{table[:8]}__{digits:08X}{more:08X}"


class UserRelation(Relation):
    """A client's table (sql.ddl): `detail` holds its Column tuples."""


def columns_of(rel):
    """The Column tuples of a MES table or a client's table."""
    return MES_TABLES[rel.name] if rel.kind == "mes" else rel.detail


def insert(conn, name, row, columns=None):
    """Insert one row ({column name: SQL Server value}): (its identity value or None, rowid)."""
    cols = {c.name: c for c in (columns or MES_TABLES[name])}
    for column in cols.values():  # a client's IDENTITY column that is not SQLite's rowid
        if column.identity is True and name not in MES_TABLES:
            row[column.name] = conn.execute(
                f'SELECT COALESCE(MAX("{column.name}"), 0) + 1 FROM "{name}"').fetchone()[0]
    if name == "results" and row.get("tested_at") is None and "tested_at" not in row:
        row["tested_at"] = datetime.now(timezone.utc).replace(tzinfo=None, microsecond=0)
    names = list(row)
    try:
        cur = conn.execute(
            f'INSERT INTO "{name}" ({", ".join(chr(34) + n + chr(34) for n in names)}) '
            f'VALUES ({", ".join("?" * len(names))})',
            [_to_sqlite(row[n], cols[n].type) for n in names])
    except sqlite3.IntegrityError as exc:
        raise constraint_error(exc, name, "INSERT", row, conn) from None
    identity = next((row.get(c.name, cur.lastrowid) for c in cols.values() if c.identity), None)
    return identity, cur.lastrowid
