"""The grammar of T-SQL's control flow: statement blocks, IF, WHILE, BREAK, CONTINUE, GOTO and
labels, RETURN, TRY...CATCH, RAISERROR, THROW and EXEC of a character string.

Mixed into batch.Parser, whose token helpers it uses.  Statements are tuples whose first item
names them:

    ("block", statements)                 ("if", condition, then, otherwise or None)
    ("while", condition, body)            ("break",)  ("continue",)  ("return",)
    ("label", name)  ("goto", name)       ("try", statements, catch statements)
    ("raiserror", message, severity, state, arguments, options)
    ("throw", None) to rethrow, or ("throw", (number, message, state))
    ("dynamic", parts): EXEC ('...' + @sql), the parts a string constant or a variable each

Each statement Parser.statement() reads is a Statement: the tuple, and the line it starts on.
"""

from ..sqltypes import SqlError

# Words after which a THROW may follow without a semicolon: it starts a block or a branch.
_OPENERS = {"begin", "try", "catch", "else"}


class Statement(tuple):
    """A statement's tree, knowing the line of the batch it starts on."""
    line = 1


def at(statement, line):
    statement = Statement(statement)
    statement.line = line
    return statement


class ControlFlowParser:
    loops = 0          # WHILE bodies being read
    catches = 0        # CATCH blocks being read
    condition_end = -1  # the token after the condition of the IF or WHILE being read

    def is_label(self):
        tok, nxt = self.peek(), self.peek(1)
        return tok is not None and tok.kind == "name" and isinstance(tok.value, str) \
            and nxt is not None and nxt.key == ("punct", ":")

    def label(self):
        tok = self.peek()
        self.pos += 2
        return ("label", tok.value)

    def block(self, closing):
        """Statements up to END [closing]: at least one, as SQL Server wants."""
        statements = []
        self.nest()
        while not (self.word() == "end" and (closing is None or self.word(1) == closing)):
            if self.done():
                raise self.syntax_error()
            if not self.accept_punct(";"):
                statements.append(self.statement())
        if not statements and closing != "catch":
            raise self.syntax_error()
        self.pos += 1 if closing is None else 2
        self.depth -= 1
        return tuple(statements)

    def try_catch(self):
        statements = self.block("try")
        if not (self.word() == "begin" and self.word(1) == "catch"):
            raise self.syntax_error()
        self.pos += 2
        self.catches += 1
        handler = self.block("catch")
        self.catches -= 1
        return ("try", statements, handler)

    def st_while(self):
        condition = self.condition()
        if self.done():
            raise self.syntax_error()
        self.condition_end = self.pos
        self.loops += 1
        self.nest()
        body = self.statement()
        self.depth -= 1
        self.loops -= 1
        return ("while", condition, body)

    def st_break(self):
        if not self.loops:
            raise SqlError(135, "Cannot use a BREAK statement outside the scope of a WHILE "
                                "statement.", severity=15)
        return ("break",)

    def st_continue(self):
        if not self.loops:
            raise SqlError(136, "Cannot use a CONTINUE statement outside the scope of a WHILE "
                                "statement.", severity=15)
        return ("continue",)

    def st_goto(self):
        tok = self.peek()
        if tok is None or tok.kind != "name" or not isinstance(tok.value, str):
            raise self.syntax_error()
        self.pos += 1
        return ("goto", tok.value)

    def st_return(self):
        if not self.done() and self.peek().key != ("punct", ";") and (
                self.word() is None or self.word() not in self.statement_words):
            self.expression()
            raise SqlError(178, "A RETURN statement with a return value cannot be used in this "
                                "context.", severity=15)
        return ("return",)

    def st_raiserror(self):
        self.expect_punct("(")
        message = self.argument()
        self.expect_punct(",")
        severity = self.argument()
        self.expect_punct(",")
        state = self.argument()
        arguments = []
        while self.accept_punct(","):
            arguments.append(self.argument())
        self.expect_punct(")")
        if len(arguments) > 20:
            raise SqlError(2747, "Too many substitution parameters for RAISERROR. Cannot exceed "
                                 "20 substitution parameters.", severity=16)
        options = []
        if self.accept_word("with"):
            while True:
                option = self.word()
                if option not in ("nowait", "log", "seterror"):
                    raise self.syntax_error()
                self.pos += 1
                options.append(option)
                if not self.accept_punct(","):
                    break
        return ("raiserror", message, severity, state, tuple(arguments), tuple(options))

    def st_throw(self):
        before = self.tokens[self.pos - 2] if self.pos >= 2 else None
        if before is not None and before.key != ("punct", ";") \
                and self.pos - 1 != self.condition_end \
                and not (before.kind == "name" and before.value in _OPENERS):
            raise self.syntax_error(self.pos - 1)
        tok = self.peek()
        if self.done() or tok.key == ("punct", ";") or tok.kind == "name" \
                and tok.value in self.statement_words:
            if not self.catches:
                raise SqlError(10704, "To rethrow an error, a THROW statement must be used inside "
                                      "a CATCH block. Insert the THROW statement inside a CATCH "
                                      "block, or add error parameters to the THROW statement.",
                               severity=15)
            return ("throw", None)
        number = self.argument()
        self.expect_punct(",")
        message = self.argument()
        self.expect_punct(",")
        return ("throw", (number, message, self.argument()))

    def dynamic(self):
        """EXEC ( '...' [+ @sql ...] ): constants and variables only, as T-SQL has it."""
        self.expect_punct("(")
        parts = [self.argument()]
        while self.accept_punct("+"):
            parts.append(self.argument())
        self.expect_punct(")")
        return ("dynamic", tuple(parts))


def check_labels(statements):
    """Raise SqlError for a label declared twice, a GOTO to none, or one into a TRY or CATCH
    block from outside it, as SQL Server compiles them."""
    labels, jumps = {}, []  # label: the TRY and CATCH blocks around it; (label, blocks) of GOTOs

    def walk(items, blocks):
        for st in items:
            kind = st[0]
            if kind == "label":
                if st[1] in labels:
                    raise SqlError(132, f"The label '{st[1]}' has already been declared. Label "
                                        "names must be unique within a query batch or stored "
                                        "procedure.", severity=15)
                labels[st[1]] = blocks
            elif kind == "goto":
                jumps.append((st[1], blocks))
            elif kind == "block":
                walk(st[1], blocks)
            elif kind == "if":
                walk([s for s in st[2:] if s is not None], blocks)
            elif kind == "while":
                walk([st[2]], blocks)
            elif kind == "try":
                walk(st[1], blocks + (id(st[1]),))
                walk(st[2], blocks + (id(st[2]),))

    walk(statements, ())
    for name, blocks in jumps:
        if name not in labels:
            raise SqlError(133, f"A GOTO statement references the label '{name}' but the label "
                                "has not been declared.", severity=15)
        if blocks[:len(labels[name])] != labels[name]:
            raise SqlError(1026, "GOTO cannot be used to jump into a TRY or CATCH scope.")
