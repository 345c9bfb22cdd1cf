"""INSERT, UPDATE and DELETE on a MES table as SQLite statements.

The values written are converted to the columns' SQL Server types (texts too long for their
column are refused as SQL Server refuses them); UPDATE's new values, WHERE and TOP are SQLite's
work, and only the rows a statement writes come back to Python, for OUTPUT.
"""

import sqlite3
from datetime import datetime, timezone

from ..errors import SqlError
from . import bound, evaluate, functions, sqlite, tables
from . import types as sqltypes
from .types import store

_ALIAS = "target"


def run(write, db, rows=None):
    """(rows written, OUTPUT rows) of an engine.TableWrite, on the connection that writes;
    rows: an INSERT's rows when they were read before (MERGE)."""
    kind = write.st.kind
    evaluation = functions.Evaluation()
    generator = sqlite.Generator(write.engine, write.variables, evaluation)
    with evaluation:
        try:
            try:
                if kind == "insert":
                    return _insert(write, db, generator, rows)
                return _change(write, db, generator, kind)
            except sqlite3.IntegrityError as exc:
                raise tables.constraint_error(exc, write.rel.name, kind.upper(), db=db) from None
            except sqlite3.Error as exc:
                if evaluation.error is not None:
                    raise evaluation.error from None
                raise sqlite._error(exc) from None
        except SqlError as err:  # an error while it writes ends the statement
            err.terminated = True
            raise


def _copy(write, db, generator):
    """INSERT ... SELECT as one SQLite statement: the query's rows converted to the columns'
    types on their way into the table."""
    table, targets = write.rel.name, write.targets
    inner = generator.query(write.plan)
    generator.frames.append([("copied", [f"c{m}" for m in range(len(targets))])])
    values = [generator.expr(bound.Convert(column.type, bound.Ref(sqltype, 0, 0, m, ""), table,
                                           column))
              for m, (column, (_n, sqltype)) in enumerate(zip(targets, write.plan.columns))]
    names = [f'"{column.name}"' for column in targets]
    if table == "results" and all(c.name != "tested_at" for c in targets):
        names.append('"tested_at"')
        values.append(generator.param(datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S")))
    every = ", ".join(f'"{c.name}"' for c in write.columns)
    returning = f" RETURNING rowid, {every}" if write.output else ""
    try:
        cursor = db.execute(f'INSERT INTO "{table}" ({", ".join(names)}) SELECT '
                            f'{", ".join(values)} FROM ({inner}) AS copied WHERE 1{returning}',
                            generator.params)
    except sqlite3.IntegrityError as exc:
        copied = dict(zip((c.name.casefold() for c in targets), values))

        def find(key):
            if any(c.casefold() not in copied for c in key):
                return None
            picked = ", ".join(f"{copied[c.casefold()]} AS k{n}" for n, c in enumerate(key))
            return _duplicate(db, generator, write, key, "", f"SELECT ROW_NUMBER() OVER () AS r, "
                              f"{picked} FROM ({inner}) AS copied")
        raise tables.constraint_error(exc, table, "INSERT", db=db, find=find) from None
    found = cursor.fetchall() if write.output else ()
    if any(c.identity for c in write.columns) and (found or cursor.rowcount > 0):
        write.identity = max(r[0] for r in found) if found else cursor.lastrowid
    outputs = [_output(write, tuple(sqlite.from_sqlite(v, c.type) for v, c in
                                    zip(r[1:], write.columns)), None) for r in found]
    return (len(found) if write.output else cursor.rowcount), outputs


def _insert(write, db, generator, rows=None):
    codepage = write.engine.codepage
    if rows is not None:
        pass
    elif write.values is None and not any(c.identity is True for c in write.columns
                                          if write.rel.kind == "user"):
        return _copy(write, db, generator)
    elif write.values is None:
        rows = sqlite.select(write.engine, write.variables, write.plan)(db)
    else:
        rows = []
        for row in write.values:
            given = [node for node in row if node is not None]
            sql = "SELECT " + ", ".join(generator.expr(node) for node in given)
            found = iter(db.execute(sql, generator.params).fetchone() if given else ())
            generator.params = []
            rows.append([sqlite.from_sqlite(next(found), node.type) if node is not None
                         else _DEFAULT for node in row])
    count, outputs = 0, []
    for values in rows:
        row = {column.name: store(value, column, write.rel.name, codepage,
                                  tables.qualified(write.rel.name))
               for column, value in zip(write.targets, values) if value is not _DEFAULT}
        identity, rowid = tables.insert(db, write.rel.name, row, write.columns)
        if identity is not None:
            write.identity = identity
        count += 1
        if write.output:
            outputs.append(_output(write, _row(db, write, rowid), None))
    return count, outputs


_DEFAULT = object()  # DEFAULT in VALUES: the column is left to its default


def _row(db, write, rowid):
    names = ", ".join(f'"{c.name}"' for c in write.columns)
    found = db.execute(f'SELECT {names} FROM "{write.rel.name}" WHERE rowid = ?',
                       (rowid,)).fetchone()
    return tuple(sqlite.from_sqlite(v, c.type) for v, c in zip(found, write.columns))


def _joined(write, generator, sets):
    """UPDATE/DELETE ... FROM: a SELECT of the target's rowid (c0) and the new values (c1...)
    over the FROM clause's rows."""
    sources, joins, target = write.joined
    items = [bound.RowId(sqltypes.INT, target)] + [node for _c, node in sets]
    core = bound.Core(sources, joins, write.where, [bound.Item(node, "") for node in items])
    sql = generator.core(core, ())
    if write.top is not None:
        sql += f" LIMIT {max(int(generator.value(write.top) or 0), 0)}"
    return sql


def _change(write, db, generator, kind):
    table = write.rel.name
    names = [f'"{c.name}"' for c in write.columns]
    sets = [(column, bound.Convert(column.type, node if node is not None
                                   else bound.Lit(column.type, None), table, column))
            for column, node in getattr(write, "sets", ())]
    joined = _joined(write, generator, sets) if write.joined else None
    generator.frames.append([(_ALIAS, names)])
    where = generator.expr(write.where) if write.where is not None and not joined else "1"
    if joined is not None:
        where = f"{_ALIAS}.rowid IN (SELECT c0 FROM ({joined}))"
    elif write.top is not None:
        top = max(int(generator.value(write.top) or 0), 0)
        where = (f"{_ALIAS}.rowid IN (SELECT rowid FROM \"{table}\" AS {_ALIAS} WHERE {where} "
                 f"LIMIT {top})")
    before = {}
    if kind == "update" and write.output:  # OUTPUT deleted.*: the rows as they were
        found = db.execute(f'SELECT rowid, {", ".join(names)} FROM "{table}" AS {_ALIAS} '
                           f"WHERE {where}", generator.used(where)).fetchall()
        before = {r[0]: tuple(sqlite.from_sqlite(v, c.type) for v, c in zip(r[1:], write.columns))
                  for r in found}
        where = f"{_ALIAS}.rowid IN ({', '.join(str(r) for r in before) or 'NULL'})"
    returning = f" RETURNING rowid, {', '.join(names)}" if write.output else ""
    if kind == "delete":
        sql = f'DELETE FROM "{table}" AS {_ALIAS} WHERE {where}{returning}'
    elif joined is not None:
        values = ", ".join(f'"{column.name}" = joined.c{n}' for n, (column, _v)
                           in enumerate(sets, 1))
        sql = (f'UPDATE "{table}" AS {_ALIAS} SET {values} FROM ({joined}) AS joined '
               f"WHERE {_ALIAS}.rowid = joined.c0{returning}")
    else:
        new = {column.name.casefold(): generator.expr(node) for column, node in sets}
        values = ", ".join(f'"{column.name}" = {new[column.name.casefold()]}'
                           for column, _node in sets)
        sql = f'UPDATE "{table}" AS {_ALIAS} SET {values} WHERE {where}{returning}'
    try:
        cursor = db.execute(sql, generator.used(sql))
    except sqlite3.IntegrityError as exc:
        if kind != "update":
            raise

        def find(key):
            if joined is not None:
                named = {c.name.casefold(): f"joined.c{n}" for n, (c, _v) in enumerate(sets, 1)}
                rows = (f'FROM ({joined}) AS joined JOIN "{table}" AS {_ALIAS} ON '
                        f"{_ALIAS}.rowid = joined.c0")
            else:
                named, rows = new, f'FROM "{table}" AS {_ALIAS} WHERE {where}'
            picked = ", ".join(f"{named.get(c.casefold(), f'{_ALIAS}.{_name(c)}')} AS k{n}"
                               for n, c in enumerate(key))
            return _duplicate(db, generator, write, key, "AND t.rowid <> new.r",
                              f"SELECT {_ALIAS}.rowid AS r, {picked} {rows}")
        raise tables.constraint_error(exc, table, "UPDATE", db=db, find=find) from None
    if not write.output:
        return cursor.rowcount, []
    rows = cursor.fetchall()
    outputs = []
    for r in rows:
        after = tuple(sqlite.from_sqlite(v, c.type) for v, c in zip(r[1:], write.columns))
        if kind == "delete":
            outputs.append(_output(write, None, after))
        else:
            outputs.append(_output(write, after, before.get(r[0])))
    return len(rows), outputs


def _duplicate(db, generator, write, key, other, rows):
    """The first key (its columns' values) among the rows meant to be written that another of
    them, or another row of the table, holds: rows is a SELECT of a number r for each and of
    the key's columns (k0, k1, ...); other narrows the rows of the table compared."""
    types = {c.name.casefold(): c.type for c in write.columns}
    collated = [f" COLLATE {functions.COLLATION}" if types[c.casefold()].name
                in sqltypes.CHARACTER else "" for c in key]
    table = " AND ".join(f"t.{_name(c)} = new.k{n}{collated[n]}" for n, c in enumerate(key))
    each = " AND ".join(f"o.k{n} = new.k{n}{collated[n]}" for n in range(len(key)))
    sql = (f"WITH new AS ({rows}) SELECT {', '.join(f'k{n}' for n in range(len(key)))} FROM new "
           f'WHERE EXISTS (SELECT 1 FROM "{write.rel.name}" AS t WHERE {table} {other}) OR '
           f"EXISTS (SELECT 1 FROM new AS o WHERE {each} AND o.r <> new.r) ORDER BY new.r "
           "LIMIT 1")
    found = db.execute(sql, generator.used(sql)).fetchone()
    return None if found is None else tuple(
        sqlite.from_sqlite(v, types[c.casefold()]) for v, c in zip(found, key))


def _name(column):
    return '"' + column.replace('"', '""') + '"'


def _output(write, inserted, deleted):
    empty = (None,) * len(write.columns)
    pseudo = [inserted or empty if name == "inserted" else deleted or empty
              for name in write.pseudo]
    if write.action is not None:  # a MERGE's part: $action beside the two tables
        pseudo.append((write.action,))
    ctx = evaluate.Context(write.engine, write.variables)
    ctx.rows.append(pseudo)
    return tuple(evaluate.value(node, ctx) for node in write.output)
