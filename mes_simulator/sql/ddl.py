"""Tables that clients create: CREATE/ALTER/DROP TABLE and CREATE INDEX, temporary tables.

A client's table is an SQLite table of the same file; each column's SQL Server type is its
declared SQLite type (`"amount" "decimal(10,2)"`, from which SQLite takes its affinity), texts
compare under the CI collation, and the catalog lists the table (tables.user_tables).  A
temporary table (#name) belongs to the session that made it: its SQLite name carries the
session's number (#name@n), and it is dropped when the session ends.  The MES tables and
procedures cannot be created, altered or dropped: SQL Server's permission errors.
"""

import re
import sqlite3

from ..errors import SqlError
from . import types as sqltypes
from .functions import COLLATION
from .tables import TEMPORARY, key_name, name_id, unique_keys
from .statements import (AlterTable, ColumnDefinition, CreateIndex, CreateTable, DropIndex,
                         DropTable, TableKey)
from .types import SqlType


class DdlParser:
    """Mixed into batch.Parser: the statements on client tables."""

    def st_create(self):
        unique = self.accept_word("unique")
        self.accept_word("clustered") or self.accept_word("nonclustered")
        if self.accept_word("index"):
            name = self._alias()
            if not self.accept_word("on"):
                raise self.syntax_error()
            target = self._target()
            self.expect_punct("(")
            columns = [self._index_column()]
            while self.accept_punct(","):
                columns.append(self._index_column())
            self.expect_punct(")")
            return CreateIndex(unique, name, target, tuple(columns))
        if unique or not self.accept_word("table"):
            word = self.word() or ""
            if word in ("procedure", "proc", "view", "function", "trigger", "schema", "type",
                        "sequence", "synonym", "database", "login", "user", "role"):
                raise SqlError(262, f"CREATE {word.upper()} permission denied in database "
                                    "'MES'.", severity=14)
            raise self.syntax_error()
        target = self._target()
        self.expect_punct("(")
        columns, keys = [], []
        while True:
            if self.word() in ("constraint", "primary", "unique"):
                keys.append(self._table_constraint())
            else:
                columns.append(self._column())
            if not self.accept_punct(","):
                break
        self.expect_punct(")")
        return CreateTable(target, tuple(columns), tuple(keys))

    def _index_column(self):
        name = self._alias()
        self.accept_word("asc") or self.accept_word("desc")
        return name

    def _column(self):
        name = self._alias()
        sqltype = self.sqltype()
        null, identity, key, default, constraint = True, None, None, None, None
        while True:
            if self.accept_word("null"):
                null = True
            elif self.word() == "not" and self.peek(1) is not None and \
                    self.peek(1).kind == "name" and self.peek(1).value == "null":
                self.pos += 2
                null = False
            elif self.accept_word("identity"):
                identity = (1, 1)
                if self.accept_punct("("):
                    seed = self.expression()
                    self.expect_punct(",")
                    step = self.expression()
                    self.expect_punct(")")
                    identity = (seed, step)
                null = False
            elif self.accept_word("constraint"):
                constraint = self._alias()
            elif self.accept_word("primary"):
                if not self.accept_word("key"):
                    raise self.syntax_error()
                self.accept_word("clustered") or self.accept_word("nonclustered")
                key, null = "PRIMARY KEY", False
            elif self.accept_word("unique"):
                self.accept_word("clustered") or self.accept_word("nonclustered")
                key = key or "UNIQUE"
            elif self.accept_word("default"):
                default = self._primary()
            elif self.accept_word("collate"):
                self._alias()
            else:
                return ColumnDefinition(name, sqltype, null, identity, key, default,
                                        constraint if key else None)

    def _table_constraint(self):
        name = self._alias() if self.accept_word("constraint") else None
        kind = "PRIMARY KEY" if self.accept_word("primary") else None
        if kind:
            if not self.accept_word("key"):
                raise self.syntax_error()
        elif self.accept_word("unique"):
            kind = "UNIQUE"
        else:
            raise self.syntax_error()
        self.accept_word("clustered") or self.accept_word("nonclustered")
        self.expect_punct("(")
        columns = [self._index_column()]
        while self.accept_punct(","):
            columns.append(self._index_column())
        self.expect_punct(")")
        return TableKey(kind, tuple(columns), name)

    def st_drop(self):
        if self.accept_word("index"):
            name = self._alias()
            if self.accept_word("on"):
                self._target()
            return DropIndex(name)
        if not self.accept_word("table"):
            word = self.word() or ""
            if word in ("procedure", "proc", "view", "function", "trigger", "schema", "type"):
                self.pos += 1
                target = self._target()
                raise SqlError(3701, f"Cannot drop the {'procedure' if word == 'proc' else word}"
                                     f" '{target.written}', because it does not exist or you do "
                                     "not have permission.", severity=11, state=5)
            raise self.syntax_error()
        if_exists = False
        if self.word() == "if" and self.peek(1) is not None and self.peek(1).kind == "name" \
                and self.peek(1).value == "exists":
            self.pos += 2
            if_exists = True
        targets = [self._target()]
        while self.accept_punct(","):
            targets.append(self._target())
        return DropTable(tuple(targets), if_exists)

    def st_alter(self):
        if not self.accept_word("table"):
            raise self.syntax_error()
        target = self._target()
        if self.accept_word("add"):
            columns = [self._column()]
            while self.accept_punct(","):
                columns.append(self._column())
            return AlterTable(target, "add", tuple(columns))
        if self.accept_word("drop"):
            self.accept_word("column")
            return AlterTable(target, "drop", tuple(self.names()))
        raise self.syntax_error()


# ---------------------------------------------------------------- names

def sqlite_name(parts, session):
    """The SQLite table of a client's table name (its parts, the last as written); None if the
    name cannot be one (another database or schema)."""
    name, parts = parts[-1], tuple(p.casefold() for p in parts)
    if name.startswith("#"):
        if len(parts) == 3 and parts[0] not in ("tempdb", "") or len(parts) == 2:
            return None
        return f"{name}{TEMPORARY}{session.session_number}"
    if len(parts) == 3:
        if parts[0] not in (session.database.casefold(), ""):
            return None
        parts = parts[1:]
    if len(parts) == 2 and parts[0] not in ("dbo", ""):
        return None
    return name


def object_id(name):
    """The object id of a client's table: a number of its name (stable across restarts)."""
    return name_id(name)


def columns(db, name):
    """The columns of a client's table as tables.Column tuples; None if there is none."""
    from .tables import Column
    try:
        found = db.execute(f'PRAGMA table_info("{_quoted(name)}")').fetchall()
    except sqlite3.Error:
        return None
    if not found:
        return None
    out = []
    for _cid, column, declared, notnull, default, key in found:
        sqltype, identity = parse_type(declared)
        if declared == "INTEGER" and key:  # an IDENTITY PRIMARY KEY: SQLite's rowid
            sqltype, identity = SqlType("int"), "rowid"
        out.append(Column(column, sqltype, not notnull and not identity, default, identity))
    return tuple(out)


def parse_type(declared):
    """(SqlType, identity) of a declared SQLite type written by create()."""
    identity = declared.endswith(" identity")
    text = declared[:-len(" identity")] if identity else declared
    found = re.fullmatch(r"(\w+(?: precision)?)(?:\((\w+)(?:,(\d+))?\))?", text)
    if found is None:
        return SqlType("nvarchar", sqltypes.MAX), identity
    args = [a for a in found.group(2, 3) if a is not None]
    return sqltypes.declared(found.group(1), ["max" if a == "max" else int(a) for a in args]), \
        identity


def _type_text(sqltype):
    name = sqltype.name
    if name in ("decimal", "numeric"):
        return f"{name}({sqltype.precision},{sqltype.scale})"
    if name in sqltypes.SIZED:
        return f"{name}({'max' if sqltype.size == sqltypes.MAX else sqltype.size})"
    if name in ("datetime2", "time", "datetimeoffset"):
        return f"{name}({sqltype.scale})"
    return name


def _quoted(name):
    return name.replace('"', '""')


# A version-4 GUID as SQL Server writes one, made by SQLite for each row it inserts.
_NEW_GUID = ("DEFAULT (upper(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' || "
             "substr(hex(randomblob(2)), 2) || '-' || substr('89AB', 1 + abs(random()) % 4, 1) "
             "|| substr(hex(randomblob(2)), 2) || '-' || hex(randomblob(6))))")


def _default(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return " DEFAULT '" + value.replace("'", "''") + "'"
    return f" DEFAULT {value}"


def _rowid(column):
    """Whether a column is an IDENTITY primary key that SQLite keeps as its rowid."""
    return column.identity and column.key == "PRIMARY KEY" and column.type.name in \
        ("int", "bigint", "smallint", "tinyint")


def column_sql(column, value_of, key_name_=None, per_row=True):
    """A column's SQLite definition: value_of(expression) gives a DEFAULT's constant;
    key_name_: the name of the column's primary key when SQLite keeps it as its rowid."""
    sqltype = column.type
    declared = _type_text(sqltype) + (" identity" if column.identity else "")
    parts = [f'"{_quoted(column.name)}" "{declared}"']
    if _rowid(column):
        named = f'CONSTRAINT "{_quoted(key_name_)}" ' if key_name_ else ""
        return f'"{_quoted(column.name)}" INTEGER {named}PRIMARY KEY AUTOINCREMENT'
    if not column.null:
        parts.append("NOT NULL")
    if column.key:
        parts.append(column.key)
    default = column.default
    if default is not None:
        if default.kind == "call" and default.name in ("getdate", "sysdatetime", "getutcdate",
                                                    "sysutcdatetime", "current_timestamp"):
            parts.append("DEFAULT CURRENT_TIMESTAMP")
        elif per_row and default.kind == "call" and default.name in ("newid",
                                                                      "newsequentialid"):
            parts.append(_NEW_GUID)  # a value of its own for every row
        else:
            parts.append(_default(_stored(value_of(default))))
    if sqltype.name in sqltypes.CHARACTER:
        parts.append(f"COLLATE {COLLATION}")
    return " ".join(p for p in parts if p)


def _stored(value):
    if isinstance(value, bool):
        return int(value)
    if value is None or isinstance(value, (int, float)):
        return value
    return str(value)


def create_table(db, name, written, columns_, keys, value_of):
    """CREATE TABLE: 2714 if there is one of that name."""
    if columns(db, name) is not None:
        raise SqlError(2714, f"There is already an object named '{written}' in the database.",
                       state=6)
    body, named = [], []  # each key a named constraint: its name is the one of its errors
    primary = {n.casefold() for key in keys if key.kind == "PRIMARY KEY" for n in key.columns}
    for c in columns_:
        if c.name.casefold() in primary:  # a primary key's columns take no NULL
            c = c._replace(null=False)
        if _rowid(c):
            body.append(column_sql(c, value_of, c.constraint or key_name(c.key, name,
                                                                          (c.name,))))
        elif c.key:
            body.append(column_sql(c._replace(key=None), value_of))
            named.append((c.key, c.constraint, (c.name,)))
        else:
            body.append(column_sql(c, value_of))
    named += [(key.kind, key.name, key.columns) for key in keys]
    for kind, key, key_columns in named:
        names = ", ".join(f'"{_quoted(n)}"' for n in key_columns)
        body.append(f'CONSTRAINT "{_quoted(key or key_name(kind, name, key_columns))}" {kind} '
                    f"({names})")
    db.execute(f'CREATE TABLE "{_quoted(name)}" ({", ".join(body)})')


def drop_table(db, name):
    db.execute(f'DROP TABLE "{_quoted(name)}"')


def add_columns(db, name, columns_, value_of):
    for column in columns_:
        # SQLite adds a column with a constant default only: one GUID for every row
        db.execute(f'ALTER TABLE "{_quoted(name)}" ADD COLUMN '
                   f'{column_sql(column, value_of, per_row=False)}')


def drop_columns(db, name, names, written):
    for column in names:
        try:
            db.execute(f'ALTER TABLE "{_quoted(name)}" DROP COLUMN "{_quoted(column)}"')
        except sqlite3.OperationalError:
            raise SqlError(4924, f"ALTER TABLE DROP COLUMN failed because column '{column}' "
                                 f"does not exist in table '{written}'.") from None


def create_index(db, unique, index, name, names):
    cols = ", ".join(f'"{_quoted(n)}"' for n in names)
    try:
        db.execute(f'CREATE {"UNIQUE " if unique else ""}INDEX "{_quoted(name)}.{_quoted(index)}" '
                   f'ON "{_quoted(name)}" ({cols})')
    except sqlite3.OperationalError as exc:
        if "already exists" in str(exc):
            raise SqlError(1913, f"The operation failed because an index or statistics with "
                                 f"name '{index}' already exists on table '{name}'.") from None
        raise SqlError(1911, f"Column name '{names[0]}' does not exist in the target table or "
                             "view.") from None
    except sqlite3.IntegrityError:
        raise SqlError(1505, "The CREATE UNIQUE INDEX statement terminated because a duplicate "
                             f"key was found for the object name 'dbo.{name}'.") from None


def drop_index(db, index):
    found = db.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND "
                       "(name = ?1 OR name LIKE '%.' || ?1)", (index.split(".")[-1],)).fetchone()
    if found is None:
        raise SqlError(3701, f"Cannot drop the index '{index}', because it does not exist or you "
                             "do not have permission.", severity=11, state=7)
    db.execute(f'DROP INDEX "{_quoted(found[0])}"')


def user_tables(db):
    """[(name, object id, columns)] of the clients' (not temporary) tables."""
    names = [r[0] for r in db.execute(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' "
        "AND name NOT LIKE '#%' ORDER BY name")]
    from .tables import MES_TABLES
    return [(n, object_id(n), columns(db, n)) for n in names if n not in MES_TABLES]


def user_keys(db):
    """[(table, its object id, kind, name, columns)] of the PRIMARY KEY and UNIQUE constraints
    of the clients' (not temporary) tables."""
    return [(n, i, kind, key, columns) for n, i, _c in user_tables(db)
            for kind, key, columns in unique_keys(db, n) if kind != "INDEX"]


def drop_temporary(db, number):
    """The temporary tables of a session that ended."""
    for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                              "name LIKE ?", (f"#%{TEMPORARY}{number}",)).fetchall():
        db.execute(f'DROP TABLE "{_quoted(name)}"')
