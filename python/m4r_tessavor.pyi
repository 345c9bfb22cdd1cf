# The station program's view of the extension module m4r_tessavor: the
# functions with their parameters and results, the classes and their
# attributes. Parameters named with two leading underscores are passed by
# position only.
import configparser
from types import ModuleType
from typing import Any, Optional, Sequence, Tuple

import wx

_fsync: Any
_cp: ModuleType
_isfile: Any
_MB: Any
_sql: Any

class UIDesignOtherInfoDialog(wx.Dialog):
    m_staticText7: wx.StaticText
    mProductType: wx.TextCtrl
    m_staticText8: wx.StaticText
    mMRNo: wx.TextCtrl
    m_staticText10: wx.StaticText
    mOPName: wx.TextCtrl
    m_staticText11: wx.StaticText
    mSlot: wx.TextCtrl
    m_button3: wx.Button  # 重填
    m_button4: wx.Button  # 确定
    m_button5: wx.Button  # 取消
    def __init__(self, parent: Optional[wx.Window]) -> None: ...
    def __del__(__self) -> None: ...
    def OnRefill(self, event: wx.CommandEvent) -> None: ...
    def OnOK(self, event: wx.CommandEvent) -> None: ...

class MESInfo:
    ININame: str  # "info.cfg", in the current folder
    ProductType: str
    MRNo: str
    OPName: str
    Slot: str
    _MESInfo__ini: configparser.ConfigParser
    def __init__(__self) -> None: ...
    def Save(__self) -> None: ...

class MESInfoDialog(UIDesignOtherInfoDialog):
    OtherInfo: MESInfo  # what the operator confirmed; the caller saves it
    def __init__(self, parent: Optional[wx.Window]) -> None: ...
    def OnRefill(self, event: wx.CommandEvent) -> None: ...
    def OnOK(self, event: wx.CommandEvent) -> None: ...

class MESError(Exception):
    result: Any  # the feedback row that could not be read
    def __init__(self, result: Any) -> None: ...
    def __str__(__self) -> str: ...

# (error_code, msg): the MES's return code (0 is success) and its message.
def process_mes_result(__res: Sequence[Any]) -> Tuple[int, str]: ...
def GetUnitInfo(server: str, user: str, password: str, database: str, serial_number: str, procedure: str,
                employee: str, line_name: str) -> Tuple[int, str]: ...
def SaveResult(server: str, user: str, password: str, database: str, serial_number: str, procedure: str,
               employee: str, line_name: str, result: bool, error_no: int) -> Tuple[int, str]: ...
