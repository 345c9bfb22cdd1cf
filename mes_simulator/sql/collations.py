"""The database's collation: the one SQL Server announces for the code page of its varchar data."""

import codecs

# Database code page -> the collation the server announces for it (LCID, CI_AS flags, sort id).
COLLATIONS = {
    "gbk": ("Chinese_PRC_CI_AS", bytes.fromhex("0408d00000")),
    "big5": ("Chinese_Taiwan_Stroke_CI_AS", bytes.fromhex("0404d00000")),
    "cp932": ("Japanese_CI_AS", bytes.fromhex("1104d00000")),
    "cp949": ("Korean_Wansung_CI_AS", bytes.fromhex("1204d00000")),
    "cp1251": ("Cyrillic_General_CI_AS", bytes.fromhex("1904d00000")),
    "cp1252": ("SQL_Latin1_General_CP1_CI_AS", bytes.fromhex("0904d00034")),
}


def collation_name(codepage):
    return COLLATIONS[codecs.lookup(codepage).name][0]
