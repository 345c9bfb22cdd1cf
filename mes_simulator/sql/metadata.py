"""The catalog procedures ODBC and JDBC drivers call for metadata (SQLTables, SQLColumns,
SQLGetTypeInfo, DatabaseMetaData.getTables, ...): sp_tables, sp_columns(_100), sp_pkeys,
sp_fkeys, sp_statistics, sp_special_columns, sp_stored_procedures, sp_sproc_columns,
sp_datatype_info(_100) and sp_server_info, with SQL Server's parameters and result sets,
describing the MES tables, the catalog views and the procedures."""

from ..errors import SqlError
from . import catalog_procs, tables
from . import types as sqltypes
from .procedures import PROCEDURES as MES_PROCEDURES, SYSTEM_PROCEDURES
from .evaluate import like
from .types import SqlType

_SYSNAME, _NV384, _INT = SqlType("nvarchar", 128), SqlType("nvarchar", 384), sqltypes.INT
_BIT, _TINY, _C1 = SqlType("bit"), SqlType("tinyint"), SqlType("char", 1)
_REQUIRED = object()

# ODBC's type codes, and SQL Server's sp_columns SS_DATA_TYPE (not null, null) for the types
# the MES tables use
_ODBC = {"bit": -7, "tinyint": -6, "bigint": -5, "image": -4, "varbinary": -3, "binary": -2,
         "text": -1, "char": 1, "numeric": 2, "decimal": 3, "money": 3, "smallmoney": 3,
         "int": 4, "smallint": 5, "float": 6, "real": 7, "varchar": 12, "nchar": -8,
         "nvarchar": -9, "ntext": -10, "uniqueidentifier": -11, "date": 91, "time": -154,
         "datetime2": 93, "datetimeoffset": -155, "datetime": 93, "smalldatetime": 93,
         "sql_variant": -150, "xml": -152, "timestamp": -2, "sysname": -9}
_SS_TYPE = {"int": (56, 38), "smallint": (52, 38), "tinyint": (48, 38), "bit": (50, 50),
            "float": (62, 109), "real": (59, 109), "datetime": (61, 111),
            "nvarchar": (39, 39), "varchar": (39, 39), "nchar": (47, 47), "char": (47, 47)}


def _bind(proc, declared, args, codepage):
    """{parameter name (lower case): value} as SQL Server binds a call of a system procedure."""
    if len(args) > len(declared):
        raise SqlError(8144, f"Procedure or function {proc} has too many arguments specified.",
                       state=2)
    values, seen_named = {}, False
    for n, arg in enumerate(args):
        if arg.name:
            seen_named = True
            match = [d for d in declared if d[0].casefold() == arg.name]
            if not match:
                raise SqlError(8145, f"{arg.written} is not a parameter for procedure {proc}.")
            name, sqltype, _default = match[0]
        elif seen_named:
            raise SqlError(119, f"Must pass parameter number {n + 1} and subsequent parameters "
                                "as '@name = value'. After the form '@name = value' has been "
                                "used, all subsequent parameters must be passed in the form "
                                "'@name = value'.", severity=15)
        else:
            name, sqltype, _default = declared[n]
        if arg.output:
            raise SqlError(8162, f'The formal parameter "{name}" was not declared as an OUTPUT '
                                 'parameter, but the actual parameter passed in requested '
                                 'output.')
        if not arg.default:
            values[name.casefold()] = sqltypes.convert(arg.value, sqltype, codepage)
    for name, _t, default in declared:
        if name.casefold() not in values:
            if default is _REQUIRED:
                raise SqlError(201, f"Procedure or function '{proc}' expects parameter "
                                    f"'{name}', which was not supplied.", state=4)
            values[name.casefold()] = default
    return values


class _Ask:
    """A call's arguments, with the name filters SQL Server's procedures apply."""

    def __init__(self, values, session):
        self.values, self.session = values, session
        self.pattern = bool(values.get("@fusepattern", 1))

    def __getitem__(self, name):
        return self.values[name]

    def matches(self, name, value, pattern=None):
        """A name against a parameter: NULL matches all; a pattern (LIKE, escape '\\') when
        patterns are in use."""
        wanted = self.values.get(name)
        if wanted is None:
            return True
        if pattern if pattern is not None else self.pattern:
            return like(value, wanted, "\\")
        return value.casefold() == wanted.rstrip(" ").casefold()

    def database(self, name="@table_qualifier"):
        """Whether the qualifier allows the current database: an empty one gives no rows,
        another database's name gets 15250, as from SQL Server's procedures."""
        wanted = self.values.get(name)
        if wanted is None or wanted.casefold() == self.session.database.casefold():
            return True
        if wanted == "":
            return False
        raise SqlError(15250, "The database name component of the object qualifier must be "
                              "the name of the current database.")


def _objects(session):
    """(schema, name, TABLE_TYPE, (Column-like, ...)) of what sp_tables and sp_columns know."""
    out = [("dbo", t, "TABLE", cols) for t, cols in tables.MES_TABLES.items()]
    for (schema, name), columns in sorted(tables.CATALOG.items()):
        cols = tuple(tables.Column(c, t, True, None, False) for c, t in columns)
        out.append(("INFORMATION_SCHEMA" if schema == "information_schema" else "sys",
                    name.upper() if schema == "information_schema" else name,
                    "SYSTEM TABLE", cols))
    return out


def odbc_type(t, identity, odbc3, new_dates):
    """DATA_TYPE, TYPE_NAME, PRECISION, LENGTH, SCALE, RADIX, SQL_DATA_TYPE, SQL_DATETIME_SUB,
    CHAR_OCTET_LENGTH of a column or parameter, as sp_columns (new_dates: sp_columns_100)
    describes it."""
    name = t.name
    if name in ("datetime", "smalldatetime") or name in ("date", "time", "datetime2",
                                                         "datetimeoffset") and new_dates:
        precision, scale = tables._precision_scale(t)
        if name == "date":
            precision = 10
        code = _ODBC[name] if odbc3 else {"datetime": 11, "smalldatetime": 11, "date": 9,
                                          "datetime2": 11}.get(name, _ODBC[name])
        length = {"date": 6, "time": 12, "datetimeoffset": 20}.get(name, 16)  # ODBC's structs
        sub = {"date": 1, "time": 0}.get(name, 3)
        return (code, name, precision, length, scale, None, 9 if name != "time" else -154,
                sub if name != "time" else None, None)
    if name in ("date", "time", "datetime2", "datetimeoffset"):  # to older clients: text
        precision, scale = tables._precision_scale(t)
        precision = {"date": 10, "time": 8 + (scale + 1 if scale else 0)}.get(name, precision)
        return -9, name, precision, 2 * precision, None, None, -9, None, 2 * precision
    code = _ODBC[name]
    if name in sqltypes.CHARACTER or name in sqltypes.BINARY:
        wide = name in sqltypes.UNICODE
        size = 0 if t.size == sqltypes.MAX else t.size
        octets = 2 * size if wide else size
        return code, name, size, octets, None, None, code, None, octets
    precision, scale = tables._precision_scale(t)
    if name in sqltypes.FLOATS:
        return code, name, precision, tables.max_length(t), None, 2, code, None, None
    if name in sqltypes.DECIMALS:
        length = precision + 2
    else:
        length = tables.max_length(t)
    type_name = name + " identity" if identity else name
    return (code, type_name, precision, length, scale if name != "bit" else None,
            10 if name != "bit" else None, code, None, None)


# ---------------------------------------------------------------- the procedures

_TABLES = tables._cols("TABLE_QUALIFIER s, TABLE_OWNER s, TABLE_NAME s, TABLE_TYPE v32, "
                       "REMARKS v254")


def sp_tables(ask, session):
    db = session.database
    name, owner, qualifier, kinds = (ask["@table_name"], ask["@table_owner"],
                                     ask["@table_qualifier"], ask["@table_type"])
    # the enumerations of SQLTables: databases, schemas, table types
    if qualifier == "%" and owner == "" and name == "":
        return _TABLES, [(d, None, None, None, None)
                         for d in sorted(["master", "tempdb", "model", "msdb", db],
                                         key=str.casefold)]
    if owner == "%" and qualifier == "" and name == "":
        return _TABLES, [(db, s, None, None, None) for s in sorted(tables.SCHEMAS, key=str.lower)]
    if kinds == "%" and qualifier == "" and owner == "" and name == "":
        return _TABLES, [(None, None, None, k, None) for k in ("SYSTEM TABLE", "TABLE", "VIEW")]
    if not ask.database():
        return _TABLES, []
    wanted = None
    if kinds is not None:  # each kind is looked for in quotes: "'TABLE','VIEW'"
        wanted = {k for k in ("SYSTEM TABLE", "TABLE", "VIEW") if f"'{k}'" in kinds.upper()}
    rows = [(db, schema, table, kind, None) for schema, table, kind, _c in _objects(session)
            if (wanted is None or kind in wanted) and ask.matches("@table_owner", schema)
            and ask.matches("@table_name", table)]
    rows.sort(key=lambda r: (r[3], r[1].casefold(), r[2].casefold()))
    return _TABLES, rows


_COLUMNS = tables._cols(
    "TABLE_QUALIFIER s, TABLE_OWNER s, TABLE_NAME s, COLUMN_NAME s, DATA_TYPE h, TYPE_NAME s, "
    "PRECISION i, LENGTH i, SCALE h, RADIX h, NULLABLE h, REMARKS v254, COLUMN_DEF n4000, "
    "SQL_DATA_TYPE h, SQL_DATETIME_SUB h, CHAR_OCTET_LENGTH i, ORDINAL_POSITION i, "
    "IS_NULLABLE v254, SS_DATA_TYPE t")


def _sp_columns(new_dates):
    def sp_columns(ask, session):
        if not ask.database():
            return _COLUMNS, []
        odbc3 = (ask["@odbcver"] or 2) >= 3
        rows = []
        for schema, table, _kind, cols in _objects(session):
            if not (ask.matches("@table_owner", schema) and ask.matches("@table_name", table)):
                continue
            for n, c in enumerate(cols, 1):
                if not ask.matches("@column_name", c.name):
                    continue
                info = odbc_type(c.type, c.identity, odbc3, new_dates)
                ss = _SS_TYPE.get(c.type.name, (0, 0))[int(c.nullable)]
                rows.append((session.database, schema, table, c.name) + info[:6]
                            + (int(c.nullable), None, c.default) + info[6:]
                            + (n, "YES" if c.nullable else "NO", ss))
        return _COLUMNS, rows
    return sp_columns


_PKEYS = tables._cols("TABLE_QUALIFIER s, TABLE_OWNER s, TABLE_NAME s, COLUMN_NAME s, "
                      "KEY_SEQ h, PK_NAME s")


def sp_pkeys(ask, session):
    if not ask.database():
        return _PKEYS, []
    rows = [(session.database, "dbo", t, key, 1, "PK_" + t) for t, key in tables.KEYS.items()
            if ask.matches("@table_owner", "dbo", False)
            and ask.matches("@table_name", t, False)]
    return _PKEYS, sorted(rows)


_FKEYS = tables._cols(
    "PKTABLE_QUALIFIER s, PKTABLE_OWNER s, PKTABLE_NAME s, PKCOLUMN_NAME s, "
    "FKTABLE_QUALIFIER s, FKTABLE_OWNER s, FKTABLE_NAME s, FKCOLUMN_NAME s, KEY_SEQ h, "
    "UPDATE_RULE h, DELETE_RULE h, FK_NAME s, PK_NAME s, DEFERRABILITY h")


def sp_fkeys(ask, session):
    if ask["@pktable_name"] is None and ask["@fktable_name"] is None:
        raise SqlError(15252, "The primary key or foreign key table name must be given.")
    return _FKEYS, []  # the MES tables refer to none another


_STATISTICS = tables._cols(
    "TABLE_QUALIFIER s, TABLE_OWNER s, TABLE_NAME s, NON_UNIQUE h, INDEX_QUALIFIER s, "
    "INDEX_NAME s, TYPE h, SEQ_IN_INDEX h, COLUMN_NAME s, COLLATION c1, CARDINALITY i, "
    "PAGES i, FILTER_CONDITION v128")


async def sp_statistics(ask, session):
    if not ask.database():
        return _STATISTICS, []
    db, rows = session.database, []
    for t, key in tables.KEYS.items():
        if not (ask.matches("@table_owner", "dbo", False)
                and ask.matches("@table_name", t, False)):
            continue
        count = await session.mes_rows(t)
        rows.append((db, "dbo", t, None, None, None, 0, None, None, None, count, 1, None))
        if ask.matches("@index_name", "PK_" + t, True):
            rows.append((db, "dbo", t, 0, t, "PK_" + t, 1, 1, key, "A", count, 1, None))
    return _STATISTICS, rows


_SPECIAL = tables._cols("SCOPE h, COLUMN_NAME s, DATA_TYPE h, TYPE_NAME s, PRECISION i, "
                        "LENGTH i, SCALE h, PSEUDO_COLUMN h")


def sp_special_columns(ask, session):
    rows = []
    if ask.database() and (ask["@col_type"] or "R").upper() == "R" \
            and ask["@table_name"] is not None and ask.matches("@table_owner", "dbo", False):
        for t, key in tables.KEYS.items():
            if ask.matches("@table_name", t, False):
                col = next(c for c in tables.MES_TABLES[t] if c.name == key)
                info = odbc_type(col.type, col.identity, (ask["@odbcver"] or 2) >= 3, False)
                rows.append((1, key) + info[:5] + (1,))
    return _SPECIAL, rows  # no rowversion columns: 'V' has no rows


_PROCEDURES = tables._cols(
    "PROCEDURE_QUALIFIER s, PROCEDURE_OWNER s, PROCEDURE_NAME n134, NUM_INPUT_PARAMS i, "
    "NUM_OUTPUT_PARAMS i, NUM_RESULT_SETS i, REMARKS v254, PROCEDURE_TYPE h")


def _all_procedures():
    """(owner, name, Procedure or None) of every procedure callable here."""
    out = [("dbo", p.name, p) for p in MES_PROCEDURES.values()]
    out += [("sys", n, None) for n in sorted(SYSTEM_PROCEDURES | set(PROCEDURES))]
    return out


def sp_stored_procedures(ask, session):
    if not ask.database("@sp_qualifier"):
        return _PROCEDURES, []
    rows = [(session.database, owner, name + ";1", -1, -1, -1, None, 2)
            for owner, name, _p in _all_procedures()
            if ask.matches("@sp_owner", owner) and ask.matches("@sp_name", name)]
    return _PROCEDURES, sorted(rows, key=lambda r: (r[1], r[2].casefold()))


_SPROC_COLUMNS = tables._cols(
    "PROCEDURE_QUALIFIER s, PROCEDURE_OWNER s, PROCEDURE_NAME n134, COLUMN_NAME s, "
    "COLUMN_TYPE h, DATA_TYPE h, TYPE_NAME s, PRECISION i, LENGTH i, SCALE h, RADIX h, "
    "NULLABLE h, REMARKS v254, COLUMN_DEF n4000, SQL_DATA_TYPE h, SQL_DATETIME_SUB h, "
    "CHAR_OCTET_LENGTH i, ORDINAL_POSITION i, IS_NULLABLE v254, SS_DATA_TYPE t")


def sp_sproc_columns(ask, session):
    if not ask.database("@procedure_qualifier"):
        return _SPROC_COLUMNS, []
    odbc3 = (ask["@odbcver"] or 2) >= 3
    rows = []
    for owner, name, proc in _all_procedures():
        if proc is None or not (ask.matches("@procedure_owner", owner)
                                and ask.matches("@procedure_name", name)):
            continue
        params = [("@RETURN_VALUE", sqltypes.INT, 5)] + [
            (p.name, p.type, 2 if p.output else 1) for p in proc.params]
        for n, (pname, ptype, kind) in enumerate(params):
            if not ask.matches("@column_name", pname):
                continue
            info = odbc_type(ptype, False, odbc3, True)
            nullable = int(kind != 5)
            rows.append((session.database, owner, name + ";1", pname, kind) + info[:6]
                        + (nullable, None, None) + info[6:]
                        + (n, "YES" if nullable else "NO",
                           _SS_TYPE.get(ptype.name, (0, 0))[nullable]))
    return _SPROC_COLUMNS, rows


_TYPE_INFO = tables._cols(
    "TYPE_NAME s, DATA_TYPE h, PRECISION i, LITERAL_PREFIX v32, LITERAL_SUFFIX v32, "
    "CREATE_PARAMS v32, NULLABLE h, CASE_SENSITIVE h, SEARCHABLE h, UNSIGNED_ATTRIBUTE h, "
    "MONEY h, AUTO_INCREMENT h, LOCAL_TYPE_NAME s, MINIMUM_SCALE h, MAXIMUM_SCALE h, "
    "SQL_DATA_TYPE h, SQL_DATETIME_SUB h, NUM_PREC_RADIX i, INTERVAL_PRECISION h, USERTYPE h")

# TYPE_NAME, DATA_TYPE, PRECISION, prefix, suffix, CREATE_PARAMS, SEARCHABLE, UNSIGNED, MONEY,
# AUTO_INCREMENT, MINIMUM_SCALE, MAXIMUM_SCALE, SQL_DATA_TYPE, SQL_DATETIME_SUB, NUM_PREC_RADIX,
# USERTYPE
_Q, _N, _X = "'", "N'", "0x"
_TYPES = [
    ("sql_variant", -150, 8000, None, None, None, 2, None, 0, None, 0, 0, -150, None, 10, 0),
    ("uniqueidentifier", -11, 36, _Q, _Q, None, 2, None, 0, None, None, None, -11, None, None, 0),
    ("ntext", -10, 1073741823, _N, _Q, None, 1, None, 0, None, None, None, -10, None, None, 0),
    ("xml", -152, 0, _N, _Q, None, 0, None, 0, None, None, None, -152, None, None, 0),
    ("nvarchar", -9, 4000, _N, _Q, "max length", 3, None, 0, None, None, None, -9, None, None,
     0),
    ("sysname", -9, 128, _N, _Q, None, 3, None, 0, None, None, None, -9, None, None, 18),
    ("nchar", -8, 4000, _N, _Q, "length", 3, None, 0, None, None, None, -8, None, None, 0),
    ("bit", -7, 1, None, None, None, 2, None, 0, None, 0, 0, -7, None, None, 16),
    ("tinyint", -6, 3, None, None, None, 2, 1, 0, 0, 0, 0, -6, None, 10, 5),
    ("tinyint identity", -6, 3, None, None, None, 2, 1, 0, 1, 0, 0, -6, None, 10, 5),
    ("bigint", -5, 19, None, None, None, 2, 0, 0, 0, 0, 0, -5, None, 10, 0),
    ("bigint identity", -5, 19, None, None, None, 2, 0, 0, 1, 0, 0, -5, None, 10, 0),
    ("image", -4, 2147483647, _X, None, None, 0, None, 0, None, None, None, -4, None, None,
     20),
    ("varbinary", -3, 8000, _X, None, "max length", 2, None, 0, None, None, None, -3, None,
     None, 4),
    ("binary", -2, 8000, _X, None, "length", 2, None, 0, None, None, None, -2, None, None, 3),
    ("timestamp", -2, 8, _X, None, None, 2, None, 0, None, None, None, -2, None, None, 80),
    ("text", -1, 2147483647, _Q, _Q, None, 1, None, 0, None, None, None, -1, None, None, 19),
    ("char", 1, 8000, _Q, _Q, "length", 3, None, 0, None, None, None, 1, None, None, 1),
    ("numeric", 2, 38, None, None, "precision,scale", 2, 0, 0, 0, 0, 38, 2, None, 10, 10),
    ("numeric() identity", 2, 38, None, None, "precision", 2, 0, 0, 1, 0, 0, 2, None, 10, 10),
    ("decimal", 3, 38, None, None, "precision,scale", 2, 0, 0, 0, 0, 38, 3, None, 10, 24),
    ("money", 3, 19, "$", None, None, 2, 0, 1, 0, 4, 4, 3, None, 10, 11),
    ("smallmoney", 3, 10, "$", None, None, 2, 0, 1, 0, 4, 4, 3, None, 10, 21),
    ("decimal() identity", 3, 38, None, None, "precision", 2, 0, 0, 1, 0, 0, 3, None, 10, 24),
    ("int", 4, 10, None, None, None, 2, 0, 0, 0, 0, 0, 4, None, 10, 7),
    ("int identity", 4, 10, None, None, None, 2, 0, 0, 1, 0, 0, 4, None, 10, 7),
    ("smallint", 5, 5, None, None, None, 2, 0, 0, 0, 0, 0, 5, None, 10, 6),
    ("smallint identity", 5, 5, None, None, None, 2, 0, 0, 1, 0, 0, 5, None, 10, 6),
    ("float", 6, 53, None, None, None, 2, 0, 0, 0, None, None, 6, None, 2, 8),
    ("real", 7, 24, None, None, None, 2, 0, 0, 0, None, None, 7, None, 2, 23),
    ("varchar", 12, 8000, _Q, _Q, "max length", 3, None, 0, None, None, None, 12, None, None,
     2),
    ("date", 91, 10, _Q, _Q, None, 3, None, 0, None, None, None, 9, 1, None, 0),
    ("datetime2", 93, 27, _Q, _Q, "scale", 3, None, 0, None, 0, 7, 9, 3, None, 0),
    ("datetime", 93, 23, _Q, _Q, None, 3, None, 0, None, 3, 3, 9, 3, None, 12),
    ("smalldatetime", 93, 16, _Q, _Q, None, 3, None, 0, None, 0, 0, 9, 3, None, 22),
    ("time", -154, 16, _Q, _Q, "scale", 3, None, 0, None, 0, 7, -154, 0, None, 0),
    ("datetimeoffset", -155, 34, _Q, _Q, "scale", 3, None, 0, None, 0, 7, -155, 0, None, 0),
]


def _sp_datatype_info(new_dates):
    def sp_datatype_info(ask, session):
        odbc3 = (ask["@odbcver"] or 2) >= 3
        wanted = ask["@data_type"] or 0
        rows = []
        for (name, code, precision, prefix, suffix, params, searchable, unsigned, money,
             auto, low, high, sql_type, sub, radix, usertype) in _TYPES:
            if name in ("date", "time", "datetime2", "datetimeoffset") and not new_dates:
                code = sql_type = -9  # older clients see the newer date types as text
                sub = None
            elif code in (91, 93) and not odbc3:
                code = {91: 9, 93: 11}[code]
            if wanted and code != wanted:
                continue
            nullable = 0 if name in ("sysname",) or name.endswith("identity") else 1
            case = 0
            rows.append((name, code, precision, prefix, suffix, params, nullable, case,
                         searchable, unsigned, money, auto, name, low, high, sql_type, sub,
                         radix, None, usertype))
        rows.sort(key=lambda r: r[1])
        return _TYPE_INFO, rows
    return sp_datatype_info


_SERVER_INFO = tables._cols("ATTRIBUTE_ID i, ATTRIBUTE_NAME v60, ATTRIBUTE_VALUE v255")


def sp_server_info(ask, session):
    rows = [(1, "DBMS_NAME", "Microsoft SQL Server"),
            (2, "DBMS_VER", "Microsoft SQL Server 2019 - 15.0.2000.5"),
            (10, "OWNER_TERM", "owner"), (11, "TABLE_TERM", "table"),
            (12, "MAX_OWNER_NAME_LENGTH", "128"), (13, "TABLE_LENGTH", "128"),
            (14, "MAX_QUAL_LENGTH", "128"), (15, "COLUMN_LENGTH", "128"),
            (16, "IDENTIFIER_CASE", "MIXED"), (17, "TX_ISOLATION", "2"),
            (19, "SAVEPOINT_SUPPORT", "Y"), (20, "MULTI_RESULT_SETS", "Y"),
            (22, "ACCESSIBLE_TABLES", "Y"), (100, "USERID_LENGTH", "128"),
            (101, "QUALIFIER_TERM", "database"), (102, "NAMED_TRANSACTIONS", "Y"),
            (103, "SPROC_AS_LANGUAGE", "Y"), (104, "ACCESSIBLE_SPROC", "Y"),
            (105, "MAX_INDEX_COLS", "16"), (106, "RENAME_TABLE", "Y"),
            (107, "RENAME_COLUMN", "Y"), (108, "DROP_COLUMN", "Y"),
            (109, "INCREASE_COLUMN_LENGTH", "Y"), (110, "DDL_IN_TRANSACTION", "Y"),
            (111, "DESCENDING_INDEXES", "Y"), (112, "SP_RENAME", "Y"),
            (113, "REMOTE_SPROC", "Y"), (500, "SYS_SPROC_VERSION", "15.00.2000")]
    wanted = ask["@attribute_id"]
    return _SERVER_INFO, [r for r in rows if wanted is None or r[0] == wanted]


_NAMES3 = (("@table_name", _NV384, None), ("@table_owner", _NV384, None),
           ("@table_qualifier", _SYSNAME, None))
_KEY_PARAMS = (("@table_name", _SYSNAME, _REQUIRED), ("@table_owner", _SYSNAME, None),
               ("@table_qualifier", _SYSNAME, None))
_COLUMN_PARAMS = (("@table_name", _NV384, _REQUIRED),) + _NAMES3[1:] + (
    ("@column_name", _NV384, None), ("@ODBCVer", _INT, 2))
_TYPE_PARAMS = (("@data_type", _INT, 0), ("@ODBCVer", _TINY, 2))

# name: (parameters, function(ask, session) -> (columns, rows), maybe a coroutine)
PROCEDURES = {
    "sp_tables": (_NAMES3 + (("@table_type", SqlType("varchar", 100), None),
                             ("@fUsePattern", _BIT, 1)), sp_tables),
    "sp_columns": (_COLUMN_PARAMS, _sp_columns(False)),
    "sp_columns_100": (_COLUMN_PARAMS + (("@fUsePattern", _BIT, 1),), _sp_columns(True)),
    "sp_pkeys": (_KEY_PARAMS, sp_pkeys),
    "sp_fkeys": (tuple(("@" + side + part, _SYSNAME, None) for side in ("pktable_", "fktable_")
                       for part in ("name", "owner", "qualifier")), sp_fkeys),
    "sp_statistics": (_KEY_PARAMS + (("@index_name", _SYSNAME, "%"), ("@is_unique", _C1, "N"),
                                     ("@accuracy", _C1, "Q")), sp_statistics),
    "sp_special_columns": (_KEY_PARAMS + (("@col_type", _C1, "R"), ("@scope", _C1, "T"),
                                          ("@nullable", _C1, "U"), ("@ODBCVer", _INT, 2)),
                           sp_special_columns),
    "sp_stored_procedures": ((("@sp_name", SqlType("nvarchar", 390), None),
                              ("@sp_owner", _NV384, None), ("@sp_qualifier", _SYSNAME, None),
                              ("@fUsePattern", _BIT, 1)), sp_stored_procedures),
    "sp_sproc_columns": ((("@procedure_name", SqlType("nvarchar", 390), "%"),
                          ("@procedure_owner", _NV384, None),
                          ("@procedure_qualifier", _SYSNAME, None),
                          ("@column_name", _NV384, None), ("@ODBCVer", _INT, 2),
                          ("@fUsePattern", _BIT, 1)), sp_sproc_columns),
    "sp_datatype_info": (_TYPE_PARAMS, _sp_datatype_info(False)),
    "sp_datatype_info_90": (_TYPE_PARAMS, _sp_datatype_info(False)),  # TDS 7.2 ODBC drivers
    "sp_datatype_info_100": (_TYPE_PARAMS, _sp_datatype_info(True)),
    "sp_server_info": ((("@attribute_id", _INT, None),), sp_server_info),
}
PROCEDURES.update(catalog_procs.procedures(_REQUIRED))  # sp_help and its kin


async def run(name, args, session, reply):
    """Call a catalog procedure: its result set goes into the reply; no OUTPUT values."""
    declared, function = PROCEDURES[name]
    ask = _Ask(_bind(name, declared, args, session.codepage), session)
    ask.info = lambda text: reply.info(0, text)
    answer = function(ask, session)
    if hasattr(answer, "__await__"):
        answer = await answer
    for columns, rows in answer if isinstance(answer, list) else [answer]:
        if session.fmtonly:  # SET FMTONLY ON: the result sets' metadata only
            reply.rows(columns, [], count=False)
        else:
            reply.rows(columns, rows)
    return []
