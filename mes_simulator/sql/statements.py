"""The statements a batch is read into, one named type each.

A statement is a tuple whose first item, `kind`, names it ("if", "exec", "insert", ...), followed
by its fields, so `st.condition` and `st[1]` are the same thing and a statement still equals the
plain tuple of its items.  The type fixes the kind: `If(condition, then, otherwise)` is
("if", condition, then, otherwise).  Each one also knows the line of the batch it starts on
(`line`, set by control.at when the parser has read it).  The expressions, queries and table
sources inside statements are named types of the same kind (expressions.py).
"""

from collections import namedtuple

from .expressions import kind_type


class Statement(tuple):
    """A statement's tree, knowing the line of the batch it starts on."""
    line = 1


def _statement(name, kind, fields, doc):
    statement = kind_type(name, kind, fields, doc, Statement)
    statement.__module__ = __name__
    return statement


# -- options, variables, the database
Set = _statement("Set", "set", "words", "SET <option> ...: the words after SET, as texts.")
Use = _statement("Use", "use", "database", "USE <database>.")
Declare = _statement("Declare", "declare", "variables", "DECLARE: a Variable each.")
Variable = namedtuple("Variable", "name, type, value")
Variable.__doc__ = "A variable DECLARE makes: SqlType or TableType, initial value or None."
Assign = _statement("Assign", "assign", "variable, value",
                    "SET @variable = expression (also +=, -= and the like, written out).")
Print = _statement("Print", "print", "value", "PRINT expression.")
Waitfor = _statement("Waitfor", "waitfor", "until, value",
                     "WAITFOR DELAY value | WAITFOR TIME value: until False for a delay, True "
                     "for a time of day; value a string constant or a variable.")

# -- reading
Select = _statement("Select", "select", "items",
                    "SELECT of expressions without FROM that a station batch sends.")
Query = _statement("Query", "query", "query", "A query (SELECT ... FROM, WITH ..., set operations).")

# -- procedures
Exec = _statement("Exec", "exec", "status, parts, written, args",
                  "EXEC [@status =] procedure args: the name's parts (case-folded) and as written, "
                  "an Argument each.")
ExecNamed = _statement("ExecNamed", "exec_named", "status, name, args",
                       "EXEC [@status =] @name args: the procedure the variable's text names, "
                       "its Var, an Argument each.")
Argument = namedtuple("Argument", "name, value, output")
Argument.__doc__ = "An argument of EXEC: [@parameter =] value [OUTPUT]; name None without one."
Dynamic = _statement("Dynamic", "dynamic", "parts",
                     "EXEC ('...' + @sql): the parts a string constant or a variable each.")

# -- transactions
Begin = _statement("Begin", "begin", "name", "BEGIN TRAN [name].")
Commit = _statement("Commit", "commit", "name", "COMMIT [TRAN [name]].")
Rollback = _statement("Rollback", "rollback", "name", "ROLLBACK [TRAN [name]].")
Save = _statement("Save", "save", "name", "SAVE TRAN name.")

# -- control flow
Block = _statement("Block", "block", "statements", "BEGIN ... END.")
If = _statement("If", "if", "condition, then, otherwise",
                "IF condition statement [ELSE statement]; otherwise is None without ELSE.")
While = _statement("While", "while", "condition, body", "WHILE condition statement.")
Break = _statement("Break", "break", "", "BREAK.")
Continue = _statement("Continue", "continue", "", "CONTINUE.")
Return = _statement("Return", "return", "", "RETURN.")
Label = _statement("Label", "label", "name", "name: (a label GOTO jumps to).")
Goto = _statement("Goto", "goto", "name", "GOTO label.")
Try = _statement("Try", "try", "statements, handler",
                 "BEGIN TRY statements END TRY BEGIN CATCH handler END CATCH.")
Raiserror = _statement("Raiserror", "raiserror", "message, severity, state, arguments, options",
                       "RAISERROR (message, severity, state, arguments...) [WITH options].")
Throw = _statement("Throw", "throw", "error",
                   "THROW: error None rethrows, else (number, message, state) expressions.")

# -- tables that clients create
CreateTable = _statement("CreateTable", "create_table", "target, columns, keys",
                         "CREATE TABLE target (columns, keys): ColumnDefinitions, TableKeys.")
ColumnDefinition = namedtuple("ColumnDefinition", "name, type, null, identity, key, default, "
                              "constraint", defaults=(None,))
ColumnDefinition.__doc__ = ("name type [NULL|NOT NULL] [IDENTITY (seed, step)] [CONSTRAINT "
                            "constraint] [PRIMARY KEY|UNIQUE] [DEFAULT expression]; None for "
                            "each one left out.")
TableKey = namedtuple("TableKey", "kind, columns, name", defaults=(None,))
TableKey.__doc__ = ("[CONSTRAINT name] PRIMARY KEY or UNIQUE (columns), beside a table's "
                    "columns; name None without one.")
AlterTable = _statement("AlterTable", "alter_table", "target, action, items",
                        "ALTER TABLE target ADD columns | DROP COLUMN names.")
DropTable = _statement("DropTable", "drop_table", "targets, if_exists", "DROP TABLE [IF EXISTS].")
CreateIndex = _statement("CreateIndex", "create_index", "unique, name, target, columns",
                         "CREATE [UNIQUE] INDEX name ON target (columns).")
DropIndex = _statement("DropIndex", "drop_index", "name", "DROP INDEX table.name.")

# -- writing rows
Insert = _statement("Insert", "insert", "target, columns, rows, output",
                    "INSERT target [(columns)] VALUES rows | query [OUTPUT]; rows is a tuple of "
                    "rows or a query.")
Update = _statement("Update", "update", "target, sets, where, output, top, sources",
                    "UPDATE [TOP] target SET sets [OUTPUT] [FROM sources] [WHERE].")
Delete = _statement("Delete", "delete", "target, where, output, top, sources",
                    "DELETE [TOP] target [OUTPUT] [FROM sources] [WHERE].")
Merge = _statement("Merge", "merge", "target, alias, source, on, clauses, output",
                   "MERGE target USING source ON condition WHEN ... clauses [OUTPUT].")
