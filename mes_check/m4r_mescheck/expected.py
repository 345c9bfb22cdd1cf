"""What m4r_tessavor sends the MES, and so what the MES's two procedures must accept.

The module's batches (as it sends them; the driver puts the values in the %s places):

    DECLARE @OutPutxmls nvarchar(4000), @RETURN int ;
    exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;
    SELECT @OutPutxmls, @RETURN;

    DECLARE @Msg nvarchar(500), @RETURN int ;
    exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;
    SELECT @Msg, @RETURN;

The arguments go by position.  The procedure, employee and line name are encoded as GBK bytes,
which the driver writes as 0x... literals: a varchar parameter takes those bytes as text in the
database's code page (right under code page 936), an nvarchar parameter reads them as UTF-16
(always garbled).  The serial number and the verdict go as Unicode text (N'...'); the error
number as the test program gives it.
"""

TEXT = ("char", "varchar", "nchar", "nvarchar")
BYTE_TEXT = ("char", "varchar")
NUMBER = ("tinyint", "smallint", "int", "bigint", "decimal", "numeric")


class Param(object):
    """One parameter as the module uses it: the name the factory's procedure is known to have,
    the types that take what the module sends, and whether it is OUTPUT.  `declared` is the
    batch's variable for an OUTPUT parameter: (type, length in characters)."""

    __slots__ = ("name", "types", "output", "declared", "why")

    def __init__(self, name, types, output=False, declared=None, why=""):
        self.name, self.types, self.output = name, types, output
        self.declared, self.why = declared, why


_GBK_WHY = "the module sends it as GBK bytes (0x...), which only a char or varchar parameter reads"

PROCEDURES = (
    ("dbo.uspGetUnitInfo", (
        Param("@SerialNumber", TEXT),
        Param("@Procedure", BYTE_TEXT, why=_GBK_WHY),
        Param("@Employee", BYTE_TEXT, why=_GBK_WHY),
        Param("@LineName", BYTE_TEXT, why=_GBK_WHY),
        Param("@OutPutxmls", ("nvarchar", "nchar"), True, ("nvarchar", 4000)),
        Param("@RETURN", ("int", "smallint", "tinyint"), True, ("int", None)),
    )),
    ("dbo.uspSaveResult", (
        Param("@SerialNumber", TEXT),
        Param("@Procedure", BYTE_TEXT, why=_GBK_WHY),
        Param("@Employee", BYTE_TEXT, why=_GBK_WHY),
        Param("@LineName", BYTE_TEXT, why=_GBK_WHY),
        Param("@Result", TEXT),
        Param("@ErrorNo", TEXT + NUMBER),
        Param("@Msg", ("nvarchar", "nchar"), True, ("nvarchar", 500)),
        Param("@RETURN", ("int", "smallint", "tinyint"), True, ("int", None)),
    )),
)

# The code page under which the GBK bytes the module sends are read as the text they stand for.
GBK_CODE_PAGE = 936

# A Chinese name sent the way the module sends the employee and line names.
SAMPLE_NAME = "测试员张三"
