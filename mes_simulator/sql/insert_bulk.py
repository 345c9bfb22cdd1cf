"""`INSERT BULK table (column type [COLLATE c] [NULL | NOT NULL], ...) [WITH (option, ...)]`:
the statement with which a bulk-copy client announces the rows it sends next."""

import re
from collections import namedtuple

from ..batch import Parser, tokenize
from ..sqltypes import SqlError

InsertBulk = namedtuple("InsertBulk", "parts written columns options")
# columns: ((name as written, folded name, SqlType), ...); options: {OPTION: text}

_START = re.compile(r"\s*insert\s+bulk\b", re.IGNORECASE)


def is_insert_bulk(text):
    return _START.match(text) is not None


def parse(text):
    tokens = tokenize(text)
    p = Parser(tokens)
    p.pos = 2  # INSERT BULK
    tok = p.peek()
    if tok is None or tok.kind != "name":
        raise p.syntax_error()
    p.pos += 1
    parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
    columns = []
    if p.accept_punct("("):
        while True:
            name = p.peek()
            if name is None or name.kind != "name" or isinstance(name.value, tuple):
                raise p.syntax_error()
            p.pos += 1
            sqltype = p.sqltype()
            if p.accept_word("collate"):
                if p.peek() is None or p.peek().kind != "name":
                    raise p.syntax_error()
                p.pos += 1
            if p.accept_word("not"):
                if not p.accept_word("null"):
                    raise p.syntax_error()
            else:
                p.accept_word("null")
            columns.append((name.text.strip("[]\""), name.value, sqltype))
            if not p.accept_punct(","):
                break
        p.expect_punct(")")
    options = {}
    if p.accept_word("with"):
        p.expect_punct("(")
        while True:
            word = p.word()
            if word is None:
                raise p.syntax_error()
            p.pos += 1
            start = p.pos
            depth = 0
            while not p.done():  # the option's argument: `= n`, `(col ASC, ...)`
                mark = p.peek()
                if mark.kind == "punct" and mark.value == "(":
                    depth += 1
                elif mark.kind == "punct" and mark.value == ")":
                    if not depth:
                        break
                    depth -= 1
                elif mark.kind == "punct" and mark.value == "," and not depth:
                    break
                p.pos += 1
            options[word.upper()] = " ".join(t.text for t in tokens[start:p.pos])
            if not p.accept_punct(","):
                break
        p.expect_punct(")")
    p.accept_punct(";")
    if not p.done():
        raise p.syntax_error()
    if not columns:
        raise SqlError(102, "Incorrect syntax near '%s'." % tokens[-1].text, severity=15)
    return InsertBulk(parts, tokens[2].text, tuple(columns), options)
