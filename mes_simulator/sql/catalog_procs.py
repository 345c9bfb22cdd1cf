"""The system procedures people type to look around a database: sp_help, sp_helptext,
sp_databases, sp_who and sp_spaceused, with SQL Server's parameters, result sets (column names
and types) and errors, describing the MES tables and procedures.

Each procedure is function(ask, session) -> a list of result sets (columns, rows); the messages
it prints go out as INFO (ask.info).
"""

from ..errors import SqlError
from . import ddl, tables
from . import types as sqltypes
from .procedures import PROCEDURES as MES_PROCEDURES
from .types import SqlType

_SYSNAME = SqlType("nvarchar", 128)
_INT, _SMALL, _BIT = sqltypes.INT, SqlType("smallint"), SqlType("bit")
_DATETIME = SqlType("datetime")
_NUM38 = SqlType("numeric", 0, 38, 0)


def _v(n):
    return SqlType("varchar", n)


def _nv(n):
    return SqlType("nvarchar", n)


def _c(n):
    return SqlType("char", n)


def _nc(n):
    return SqlType("nchar", n)


_OBJNAME = _nv(776)

# The text of the MES procedures, as sp_helptext shows it (a line per row).
DEFINITIONS = {
    "uspGetUnitInfo": """\
CREATE PROCEDURE dbo.uspGetUnitInfo
    @SerialNumber nvarchar(4000), @Procedure varchar(8000), @Employee varchar(8000),
    @LineName varchar(8000), @OutPutxmls nvarchar(4000) OUTPUT, @RETURN int OUTPUT
AS
-- May the unit be tested at @Procedure?  @RETURN 0 and an OK feedback, or a refusal code
-- (1 unknown, 2 due elsewhere, 3 route finished, 4 on hold, 5 scrapped, 6 in repair,
-- 9 missing parameter) and an NG feedback naming the reason.
BEGIN
    SET NOCOUNT ON;
    DECLARE @unit nvarchar(50), @route nvarchar(200), @step int, @status nvarchar(10);
    IF NULLIF(LTRIM(@SerialNumber), N'') IS NULL OR NULLIF(LTRIM(@Procedure), '') IS NULL
       OR NULLIF(LTRIM(@Employee), '') IS NULL OR NULLIF(LTRIM(@LineName), '') IS NULL
    BEGIN
        SELECT @RETURN = 9, @OutPutxmls = N'NG "Missing parameter"';
        RETURN 0;
    END
    SELECT @unit = serial, @route = route, @step = step, @status = status
    FROM dbo.units WHERE serial = @SerialNumber;
    IF @@ROWCOUNT = 0
    BEGIN
        SELECT @RETURN = 1, @OutPutxmls = N'NG "Unit ' + @SerialNumber + N' is unknown"';
        RETURN 0;
    END
    -- hold, scrap and repair come first, then the route's end, then the step due
    SELECT @RETURN = 0, @OutPutxmls = N'OK "Unit ' + @unit + N' may be tested at '
        + @Procedure + N' by ' + @Employee + N' on ' + @LineName + N'"';
    RETURN 0;
END
""",
    "uspSaveResult": """\
CREATE PROCEDURE dbo.uspSaveResult
    @SerialNumber nvarchar(4000), @Procedure varchar(8000), @Employee varchar(8000),
    @LineName varchar(8000), @Result varchar(8000), @ErrorNo nvarchar(4000),
    @Msg nvarchar(500) OUTPUT, @RETURN int OUTPUT
AS
-- Save a PASS or FAIL of the unit at @Procedure: PASS moves it to the next procedure of its
-- route, the third FAIL in a row sends it to repair.  @RETURN 0 and an OK feedback, or the
-- refusal codes of dbo.uspGetUnitInfo and 7 for a result other than PASS or FAIL.
BEGIN
    SET NOCOUNT ON;
    IF UPPER(@Result) NOT IN ('PASS', 'FAIL')
    BEGIN
        SELECT @RETURN = 7, @Msg = N'NG "Invalid result ' + @Result + N': expected PASS or FAIL"';
        RETURN 0;
    END
    BEGIN TRANSACTION;
    INSERT INTO dbo.results (serial, [procedure], employee, line, verdict, error_no)
    VALUES (@SerialNumber, @Procedure, @Employee, @LineName, UPPER(@Result), @ErrorNo);
    UPDATE dbo.units
    SET step = CASE WHEN UPPER(@Result) = 'PASS' THEN step + 1 ELSE step END,
        failures = CASE WHEN UPPER(@Result) = 'PASS' THEN 0 ELSE failures + 1 END,
        status = CASE WHEN UPPER(@Result) = 'FAIL' AND failures >= 2 THEN N'REPAIR'
                      ELSE status END
    WHERE serial = @SerialNumber;
    COMMIT TRANSACTION;
    SELECT @RETURN = 0, @Msg = N'OK "Saved ' + UPPER(@Result) + N' of ' + @SerialNumber + N'"';
    RETURN 0;
END
""",
}

_CHECKS = {  # column: the constraint's definition, as sys.check_constraints shows it
    ("units", "status"): "([status]='REPAIR' OR [status]='SCRAPPED' OR [status]='HOLD' OR "
                         "[status]='ACTIVE')",
    ("scenarios", "action"): "([action]='refuse_login' OR [action]='drop_mid_batch' OR "
                             "[action]='drop_after_login' OR [action]='delay' OR "
                             "[action]='error' OR [action]='answer')",
}


def _parts(name):
    """'[MES].dbo.units' -> ('mes', 'dbo', 'units')."""
    return tuple(p.strip().strip("[]\"").casefold() for p in name.split("."))


def _lookup(name, session):
    """('table', name), ('procedure', Procedure), ('view', Relation) or ('user', Relation: a
    client's table) of an object name, else None.  In tempdb only the session's temporary
    tables are known; elsewhere a temporary table is not the database's."""
    parts = _parts(name)
    if len(parts) > 3 or not all(parts[-1:]):
        return None
    written = tuple(p.strip().strip("[]\"") for p in name.split("."))
    if session.database.casefold() == "tempdb" or parts[-1].startswith("#"):
        rel = session.user_relation(written) if session.database.casefold() == "tempdb" \
            and parts[-1].startswith("#") else None
        return ("user", rel) if rel is not None else None
    rel = tables.relation(parts, session.database)
    if rel is not None and rel.kind == "catalog":
        return "view", rel
    if len(parts) == 3 and parts[0] != session.database.casefold():
        return None
    if len(parts) >= 2 and parts[-2] not in ("dbo", ""):
        return None
    if parts[-1] in tables.MES_TABLES:
        return "table", parts[-1]
    proc = MES_PROCEDURES.get(parts[-1])
    if proc is not None:
        return "procedure", proc
    rel = session.user_relation(written)
    return ("user", rel) if rel is not None else None


def _no_object(name, session):
    return SqlError(15009, f"The object '{name}' does not exist in database "
                           f"'{session.database}' or is invalid for this operation.")


def _type_name(t):
    return "sysname" if t == _SYSNAME else t.name


def _precision(t):
    """sp_help's Prec and Scale (char(5), blank for the types without them)."""
    if t.name in sqltypes.CHARACTER or t.name in sqltypes.BINARY:
        return "     ", "     "
    if t.name in ("decimal", "numeric"):
        precision, scale = t.precision, t.scale
    elif t.name == "datetime2":
        precision, scale = (20 + t.scale if t.scale else 19), t.scale
    else:
        _id, _len, precision, scale = tables.SYSTEM_TYPES[t.name]
        if t.name in ("float", "real", "datetime", "smalldatetime", "date", "bit"):
            scale = None
    return (str(precision).rjust(5),
            "     " if scale is None else str(scale).rjust(5))


def _constraints(name):
    """(constraint_type, constraint_name, delete, update, enabled, replication, keys)."""
    out = []
    for column in tables.MES_TABLES[name]:
        if (name, column.name) in _CHECKS:
            out.append((f"CHECK on column {column.name}", f"CK_{name}_{column.name}", "(n/a)",
                        "(n/a)", "Enabled", "Is_For_Replication", _CHECKS[name, column.name]))
        if column.default:
            out.append((f"DEFAULT on column {column.name}", f"DF_{name}_{column.name}", "(n/a)",
                        "(n/a)", "(n/a)", "(n/a)", column.default))
    out.append(("PRIMARY KEY (clustered)", f"PK_{name}", "(n/a)", "(n/a)", "(n/a)", "(n/a)",
                tables.KEYS[name]))
    return sorted(out, key=lambda r: (r[0].split()[0], r[1]))


_OBJECT_SET = ((("Name", _SYSNAME), ("Owner", _SYSNAME), ("Type", _nv(31)),
                ("Created_datetime", _DATETIME)))


def sp_help(ask, session):
    name = ask["@objname"]
    if name is None:
        objects = [(t, "dbo", "user table") for t in tables.MES_TABLES]
        objects += [(p.name, "dbo", "stored procedure") for p in MES_PROCEDURES.values()]
        for t in tables.MES_TABLES:
            objects.append((f"PK_{t}", "dbo", "primary key cns"))
            for column in tables.MES_TABLES[t]:
                if column.default:
                    objects.append((f"DF_{t}_{column.name}", "dbo", "default (maybe cns)"))
                if (t, column.name) in _CHECKS:
                    objects.append((f"CK_{t}_{column.name}", "dbo", "check cns"))
        objects.sort(key=lambda r: r[0].casefold())
        objects.sort(key=lambda r: r[2], reverse=True)  # by type (descending), then name
        return [((("Name", _SYSNAME), ("Owner", _SYSNAME), ("Object_type", _nv(31))), objects),
                ((("User_type", _SYSNAME), ("Storage_type", _SYSNAME), ("Length", _SMALL),
                  ("Prec", _INT), ("Scale", _INT), ("Nullable", _v(35)),
                  ("Default_name", _SYSNAME), ("Rule_name", _SYSNAME),
                  ("Collation", _SYSNAME)), [])]
    found = _lookup(name, session)
    if found is None:
        raise _no_object(name, session)
    kind, what = found
    if kind == "procedure":
        sets = [(_OBJECT_SET, [(what.name, "dbo", "stored procedure", tables.CREATED)])]
        params = []
        for n, param in enumerate(what.params, 1):
            t = param.type
            precision = t.precision if t.name in ("decimal", "numeric") else \
                tables.SYSTEM_TYPES[t.name][2] if t.name not in sqltypes.CHARACTER else t.size
            params.append((param.name, _type_name(t), tables.max_length(t), precision,
                           t.scale if t.name in ("decimal", "numeric") else None, n,
                           session.collation_name if t.name in sqltypes.CHARACTER else None))
        sets.append(((("Parameter_name", _SYSNAME), ("Type", _SYSNAME), ("Length", _SMALL),
                      ("Prec", _INT), ("Scale", _INT), ("Param_order", _INT),
                      ("Collation", _SYSNAME)), params))
        return sets
    if kind == "user":
        return _help_user_table(ask, session, name, what)
    if kind == "view":  # a catalog view: its columns
        view = what.name.upper() if what.schema == "INFORMATION_SCHEMA" else what.name
        return [(_OBJECT_SET, [(view, what.schema, "view", tables.CREATED)]),
                (_HELP_COLUMNS, [_help_column(name, t, True, session)
                                 for name, t in what.columns]),
                _IDENTITY_NONE, _ROWGUIDCOL]
    table = what
    columns = [_help_column(c.name, c.type, c.nullable, session)
               for c in tables.MES_TABLES[table]]
    identity = [c for c in tables.MES_TABLES[table] if c.identity]
    ask.info(f"No foreign keys reference table '{table}', or you do not have permissions on "
             "referencing tables.")
    ask.info("No views with schema binding reference table '%s'." % table)
    return [
        (_OBJECT_SET, [(table, "dbo", "user table", tables.CREATED)]),
        (_HELP_COLUMNS, columns),
        (_IDENTITY_NONE[0], [(identity[0].name, 1, 1, 0)]) if identity else _IDENTITY_NONE,
        _ROWGUIDCOL,
        ((("Data_located_on_filegroup", _SYSNAME),), [("PRIMARY",)]),
        (_INDEX_SET,
         [(f"PK_{table}", "clustered, unique, primary key located on PRIMARY",
           tables.KEYS[table])]),
        ((("constraint_type", _nv(146)), ("constraint_name", _SYSNAME),
          ("delete_action", _nv(9)), ("update_action", _nv(9)), ("status_enabled", _v(8)),
          ("status_for_replication", _v(19)), ("constraint_keys", _nv(2078))),
         _constraints(table)),
    ]


def _help_user_table(ask, session, name, rel):
    """sp_help of a client's table: a temporary one under its name in tempdb (padded with
    underscores, then a number of the session's).  Its indexes made by CREATE INDEX are
    listed; those of its keys and its constraints have no names kept here."""
    table = rel.name.split(ddl.TEMPORARY)[0]
    if table.startswith("#"):
        table = table.ljust(116, "_") + session.session_number.upper().rjust(12, "0")
    detail = rel.detail
    identity = [c for c in detail if c.identity]
    db = session._schema_db()
    listed, keyed = [], any(c.identity == "rowid" for c in detail)
    for _seq, index, unique, origin, _partial in db.execute(
            f"PRAGMA index_list(\"{ddl._quoted(rel.name)}\")").fetchall():
        if origin != "c":
            keyed = True
            continue
        keys = [r[2] for r in db.execute(f"PRAGMA index_info(\"{ddl._quoted(index)}\")")]
        listed.append((index.split(".", 1)[-1], "nonclustered%s located on PRIMARY"
                       % (", unique" if unique else ""), ", ".join(keys)))
    if not listed and not keyed:
        ask.info(f"The object '{name}' does not have any indexes, or you do not have "
                 "permissions.")
    if not keyed and not any(c.default is not None for c in detail):
        ask.info(f"No constraints are defined on object '{name}', or you do not have "
                 "permissions.")
    ask.info(f"No foreign keys reference table '{name}', or you do not have permissions on "
             "referencing tables.")
    ask.info("No views with schema binding reference table '%s'." % name)
    sets = [
        (_OBJECT_SET, [(table, "dbo", "user table", tables.CREATED)]),
        (_HELP_COLUMNS, [_help_column(c.name, c.type, c.nullable, session) for c in detail]),
        (_IDENTITY_NONE[0], [(identity[0].name, 1, 1, 0)]) if identity else _IDENTITY_NONE,
        _ROWGUIDCOL,
        ((("Data_located_on_filegroup", _SYSNAME),), [("PRIMARY",)]),
    ]
    if listed:
        sets.append((_INDEX_SET, sorted(listed)))
    return sets


_INDEX_SET = (("index_name", _SYSNAME), ("index_description", _v(210)),
              ("index_keys", _nv(2078)))
_HELP_COLUMNS = (("Column_name", _SYSNAME), ("Type", _SYSNAME), ("Computed", _v(35)),
                 ("Length", _INT), ("Prec", _c(5)), ("Scale", _c(5)), ("Nullable", _v(35)),
                 ("TrimTrailingBlanks", _v(35)), ("FixedLenNullInSource", _v(35)),
                 ("Collation", _SYSNAME))
_IDENTITY_NONE = ((("Identity", _SYSNAME), ("Seed", _NUM38), ("Increment", _NUM38),
                   ("Not For Replication", _INT)),
                  [("No identity column defined.", None, None, None)])
_ROWGUIDCOL = ((("RowGuidCol", _SYSNAME),), [("No rowguidcol column defined.",)])


def _help_column(name, t, nullable, session):
    """A row of sp_help's column list."""
    precision, scale = _precision(t)
    character = t.name in sqltypes.CHARACTER
    padded = t.name in ("varchar", "char", "varbinary", "binary")  # blank or zero padded
    return (name, _type_name(t), "no", tables.max_length(t), precision, scale,
            "yes" if nullable else "no", "no" if padded else "(n/a)",
            ("yes" if nullable else "no") if padded else "(n/a)",
            session.collation_name if character else None)


def sp_helptext(ask, session):
    name = ask["@objname"]
    found = _lookup(name, session)
    if found is None:
        raise _no_object(name, session)
    kind, what = found
    if kind == "view":  # the catalog's own definitions are not kept
        raise _no_object(name, session)
    if kind in ("table", "user"):
        raise SqlError(15197, f"There is no text for object '{name}'.")
    lines = DEFINITIONS[what.name].splitlines(True)
    return [(((("Text", _nv(255)),)), [(line.replace("\n", "\r\n"),) for line in lines])]


def sp_databases(ask, session):
    names = sorted(["master", "model", "msdb", "tempdb", session.database], key=str.casefold)
    sizes = {"master": 7168, "model": 16384, "msdb": 21760, "tempdb": 16384}
    return [((("DATABASE_NAME", _SYSNAME), ("DATABASE_SIZE", _INT), ("REMARKS", _v(254))),
             [(n, sizes.get(n, 16384), None) for n in names])]


def sp_who(ask, session):
    wanted = ask["@loginame"]
    conn = session.conn
    me = (conn.spid, 0, "runnable".ljust(30), conn.user, (getattr(conn, "host", "") or "")
          .ljust(128), "0    ", session.database, "SELECT".ljust(16), 0)
    system = [(n, 0, "background".ljust(30), "sa", "".ljust(128), "0    ", "master",
               cmd.ljust(16), 0) for n, cmd in ((1, "LOG WRITER"), (2, "RECOVERY WRITER"),
                                                (3, "LAZY WRITER"), (4, "SIGNAL HANDLER"))]
    rows = system + [me]
    if wanted is not None:
        if wanted.isdigit():
            rows = [r for r in rows if r[0] == int(wanted)]
        else:
            rows = [r for r in rows if r[3].casefold() == wanted.casefold()]
            if not rows:
                raise SqlError(15007, f"'{wanted}' is not a valid login or you do not have "
                                      "permission.")
    return [((("spid", _SMALL), ("ecid", _SMALL), ("status", _nc(30)),
              ("loginame", _nv(128)), ("hostname", _nc(128)), ("blk", _c(5)),
              ("dbname", _nv(128)), ("cmd", _nc(16)), ("request_id", _INT)), rows)]


def _kb(n):
    return f"{n} KB"


async def sp_spaceused(ask, session):
    name = ask["@objname"]
    counts = {}
    for table in tables.MES_TABLES:
        counts[table] = await session.mes_rows(table)
    # 8 KB pages: a data page per 40 rows, an index page per 400, a page unused per table
    used = {t: (8 * (1 + n // 40), 8 * (1 + n // 400)) for t, n in counts.items()}
    if name is not None:
        found = _lookup(name, session)
        if found is None or found[0] != "table":
            raise _no_object(name, session)
        table = found[1]
        data, index = used[table]
        return [((("name", _nv(128)), ("rows", _c(20)), ("reserved", _v(18)),
                  ("data", _v(18)), ("index_size", _v(18)), ("unused", _v(18))),
                 [(table, str(counts[table]).ljust(20), _kb(data + index + 8), _kb(data),
                   _kb(index), _kb(8))])]
    data = sum(d for d, _i in used.values())
    index = sum(i for _d, i in used.values())
    reserved = data + index + 8 * len(used)
    # a 16 MB database: 8 MB of data file, 8 MB of log
    return [((("database_name", _nv(128)), ("database_size", _v(18)),
              ("unallocated space", _v(18))),
             [(session.database, "16.00 MB", "%.2f MB" % (8 - reserved / 1024))]),
            ((("reserved", _v(18)), ("data", _v(18)), ("index_size", _v(18)),
              ("unused", _v(18))),
             [(_kb(reserved), _kb(data), _kb(index), _kb(8 * len(used)))])]


def procedures(required):
    """name: (parameters, function), in metadata's form; required: its marker of a parameter
    that has no default."""
    return {
        "sp_help": (((("@objname", _OBJNAME, None),)), sp_help),
        "sp_helptext": ((("@objname", _OBJNAME, required), ("@columnname", _SYSNAME, None)),
                        sp_helptext),
        "sp_databases": ((), sp_databases),
        "sp_who": ((("@loginame", _SYSNAME, None),), sp_who),
        "sp_spaceused": ((("@objname", _OBJNAME, None), ("@updateusage", _v(5), "false"),
                          ("@mode", _v(11), "ALL"), ("@oneresultset", _BIT, 0),
                          ("@include_total_xtp_storage", _BIT, 0)), sp_spaceused),
    }

