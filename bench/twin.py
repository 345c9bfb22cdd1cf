# The station module written in plain Python: the baseline the benchmark
# measures m4r_tessavor against.
#
# It binds the same names, in the same order, and does the same things as
# the extension (same calls, same order, same texts), the way a station
# engineer would write it in Python. Helpers it needs (os, traceback) are
# imported inside the functions, so that the module namespace holds exactly
# the names the extension binds.
#
# Not part of the product: bench/bench_module.py loads it as a module object
# next to the extension and times both.
#

from os import fsync as _fsync
import configparser as _cp
from os.path import isfile as _isfile
from m4r_wxtools import MB as _MB
import wx
from pymssql import _mssql as _sql


class UIDesignOtherInfoDialog(wx.Dialog):
    def __init__(self, parent):
        wx.Dialog.__init__(self, parent, id=wx.ID_ANY, title="信息填充", pos=wx.DefaultPosition,
                           size=wx.DefaultSize, style=wx.DEFAULT_DIALOG_STYLE)
        try:
            size_hints = self.SetSizeHintsSz
        except AttributeError:
            size_hints = self.SetSizeHints
        size_hints(wx.DefaultSize, wx.DefaultSize)

        bSizer1 = wx.BoxSizer(wx.VERTICAL)

        fgSizer1 = wx.FlexGridSizer(0, 2, 0, 0)
        fgSizer1.AddGrowableCol(1)
        fgSizer1.SetFlexibleDirection(wx.BOTH)
        fgSizer1.SetNonFlexibleGrowMode(wx.FLEX_GROWMODE_SPECIFIED)

        self.m_staticText7 = wx.StaticText(self, wx.ID_ANY, "产品型号：", wx.DefaultPosition, wx.DefaultSize, 0)
        self.m_staticText7.Wrap(-1)
        fgSizer1.Add(self.m_staticText7, 0, wx.ALL, 5)
        self.mProductType = wx.TextCtrl(self, wx.ID_ANY, wx.EmptyString, wx.DefaultPosition, wx.DefaultSize, 0)
        fgSizer1.Add(self.mProductType, 0, wx.ALL | wx.EXPAND, 5)

        self.m_staticText8 = wx.StaticText(self, wx.ID_ANY, "工单号码(MR#)：", wx.DefaultPosition, wx.DefaultSize, 0)
        self.m_staticText8.Wrap(-1)
        fgSizer1.Add(self.m_staticText8, 0, wx.ALL, 5)
        self.mMRNo = wx.TextCtrl(self, wx.ID_ANY, wx.EmptyString, wx.DefaultPosition, wx.DefaultSize, 0)
        fgSizer1.Add(self.mMRNo, 0, wx.ALL | wx.EXPAND, 5)

        self.m_staticText10 = wx.StaticText(self, wx.ID_ANY, "测试员（姓名）：", wx.DefaultPosition, wx.DefaultSize, 0)
        self.m_staticText10.Wrap(-1)
        fgSizer1.Add(self.m_staticText10, 0, wx.ALL, 5)
        self.mOPName = wx.TextCtrl(self, wx.ID_ANY, wx.EmptyString, wx.DefaultPosition, wx.DefaultSize, 0)
        fgSizer1.Add(self.mOPName, 0, wx.ALL | wx.EXPAND, 5)

        self.m_staticText11 = wx.StaticText(self, wx.ID_ANY, "治具编号：", wx.DefaultPosition, wx.DefaultSize, 0)
        self.m_staticText11.Wrap(-1)
        fgSizer1.Add(self.m_staticText11, 0, wx.ALL, 5)
        self.mSlot = wx.TextCtrl(self, wx.ID_ANY, wx.EmptyString, wx.DefaultPosition, wx.DefaultSize, 0)
        fgSizer1.Add(self.mSlot, 0, wx.ALL | wx.EXPAND, 5)

        bSizer1.Add(fgSizer1, 1, wx.EXPAND, 5)

        bSizer2 = wx.BoxSizer(wx.HORIZONTAL)
        self.m_button3 = wx.Button(self, wx.ID_ANY, "重填", wx.DefaultPosition, wx.DefaultSize, 0)
        bSizer2.Add(self.m_button3, 0, wx.ALL, 5)
        self.m_button4 = wx.Button(self, wx.ID_ANY, "确定", wx.DefaultPosition, wx.DefaultSize, 0)
        self.m_button4.SetDefault()
        bSizer2.Add(self.m_button4, 0, wx.ALL, 5)
        self.m_button5 = wx.Button(self, wx.ID_CANCEL, "取消", wx.DefaultPosition, wx.DefaultSize, 0)
        bSizer2.Add(self.m_button5, 0, wx.ALL, 5)
        bSizer1.Add(bSizer2, 0, wx.EXPAND, 5)

        self.SetSizer(bSizer1)
        self.Layout()
        bSizer1.Fit(self)
        self.Centre(wx.BOTH)

        self.m_button3.Bind(wx.EVT_BUTTON, self.OnRefill)
        self.m_button4.Bind(wx.EVT_BUTTON, self.OnOK)

    def __del__(self, /):
        pass

    def OnRefill(self, event):
        event.Skip()

    def OnOK(self, event):
        event.Skip()


class _RewriteInstead(Exception):
    """info.cfg cannot be replaced without losing something: rewritten in place."""


def _rewrite_instead(error):
    """An error that rewriting in place may still overcome (not a full place)."""
    import errno
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        raise error
    raise _RewriteInstead()


def _attributes(fd):
    """{name: value} of the extended attributes (ACLs among them)."""
    import errno
    import os
    try:
        return {name: os.getxattr(fd, name) for name in os.listxattr(fd)}
    except OSError as e:
        if e.errno != errno.EOPNOTSUPP:
            _rewrite_instead(e)
        return {}


def _lock(fd):
    """The open-file-description lock that marks a new file as being written."""
    import fcntl
    import struct
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))


class MESInfo:
    ININame = "info.cfg"

    def __init__(self, /):
        try:
            parser_class = _cp.SafeConfigParser
        except AttributeError:
            parser_class = _cp.ConfigParser
        parser = parser_class({"producttype": "", "mrno": "", "slot": "", "opname": ""})
        if _isfile(self.ININame):
            parser.read(self.ININame)
        if not parser.has_section("Sec"):
            parser.add_section("Sec")
        self.__ini = parser
        self.ProductType = parser.get("Sec", "producttype")
        self.MRNo = parser.get("Sec", "mrno")
        self.OPName = parser.get("Sec", "opname")
        self.Slot = parser.get("Sec", "slot")

    def Save(self, /):
        import os
        import stat
        parser = self.__ini
        for key, value in (("producttype", self.ProductType), ("mrno", self.MRNo),
                           ("opname", self.OPName), ("slot", self.Slot)):
            if isinstance(value, str):
                # Read back as typed: a carriage return (alone or before a
                # line feed) would end the line in the file, so it is stored
                # as a line feed (a continuation line); a percent sign doubled.
                value = value.replace("\r\n", "\n").replace("\r", "\n").replace("%", "%%")
            parser.set("Sec", key, value)

        # Replaced in one step only where the new file can be made just like
        # the old one; else rewritten in place through the name given.
        path = os.fsdecode(self.ININame)
        if not isinstance(path, str):
            raise TypeError("expected str, bytes or os.PathLike object, not " + type(path).__name__)
        folder = path[:max(path.rfind("/"), path.rfind(os.sep)) + 1]
        base = path[len(folder):]

        # New files of saves whose writer is gone: a writer holds its lock.
        try:
            names = os.listdir(folder or ".") if base else ()
        except Exception:
            names = ()
        for entry in names:
            if (len(entry) == len(base) + 17 and entry.startswith(base + ".") and entry.endswith(".tmp")
                    and all(c in "0123456789abcdef" for c in entry[-16:-4])):
                try:
                    fd = os.open(folder + entry, os.O_WRONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
                except Exception:
                    continue
                try:
                    _lock(fd)
                    os.remove(folder + entry)
                except Exception:
                    pass
                finally:
                    os.close(fd)

        try:
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK, 0o666)
            except OSError as e:
                _rewrite_instead(e)
            try:
                status = os.fstat(fd)
                kept = _attributes(fd)
            finally:
                os.close(fd)
            if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
                raise _RewriteInstead()
            name = "%s.%s.tmp" % (path, os.urandom(6).hex())
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_NONBLOCK, 0o600)
            except OSError as e:
                _rewrite_instead(e)
            try:
                try:
                    _lock(fd)
                    os.fchown(fd, status.st_uid, status.st_gid)
                    os.fchmod(fd, status.st_mode & 0o7777)
                except OSError as e:
                    _rewrite_instead(e)
                if _attributes(fd) != kept:
                    raise _RewriteInstead()
                f = open(fd, "w")
            except BaseException:
                os.close(fd)
                os.remove(name)
                raise
            try:
                with f:
                    parser.write(f)
                    f.flush()
                    _fsync(fd)
                    try:
                        os.replace(name, path)   # while the lock is held
                    except OSError as e:
                        _rewrite_instead(e)
            except BaseException:
                try:
                    os.remove(name)
                except Exception:
                    pass
                raise
        except _RewriteInstead:
            with open(path, "w") as f:
                parser.write(f)
                f.flush()
                _fsync(f.fileno())
            return
        # The folder too, so that the replacement itself is durable; a
        # folder that cannot be synced does not fail the save.
        try:
            fd = os.open(folder or ".", os.O_RDONLY)
        except Exception:
            return
        try:
            os.fsync(fd)
        except Exception:
            pass
        try:
            os.close(fd)
        except Exception:
            pass



class MESInfoDialog(UIDesignOtherInfoDialog):
    def __init__(self, parent):
        UIDesignOtherInfoDialog.__init__(self, parent)
        self.OtherInfo = MESInfo()
        self.OnRefill(None)

    def OnRefill(self, event):
        if event:
            self.mSlot.SetValue("")
            self.mProductType.SetValue("")
            self.mMRNo.SetValue("")
            self.mOPName.SetValue("")
        else:
            self.mSlot.SetValue(self.OtherInfo.Slot)
            self.mProductType.SetValue(self.OtherInfo.ProductType)
            self.mMRNo.SetValue(self.OtherInfo.MRNo)
            self.mOPName.SetValue(self.OtherInfo.OPName)

    def OnOK(self, event):
        op_name = self.mOPName.GetValue().strip()
        if op_name == "":
            _MB.Error("测试员名字不能为空！")
            return
        product_type = self.mProductType.GetValue().strip()
        mr_no = self.mMRNo.GetValue().strip()
        slot = self.mSlot.GetValue().strip()
        info = self.OtherInfo
        info.ProductType = product_type
        info.MRNo = mr_no
        info.Slot = slot
        info.OPName = op_name
        self.EndModal(wx.ID_OK)


class MESError(Exception):
    def __init__(self, result):
        Exception.__init__(self, "MES Query Feedback Format Invalid")
        self.result = result

    def __str__(self, /):
        return str(self.result)


def process_mes_result(res, /) -> "tuple":
    print("TVR MES GetUnitInfo: " + str(res))
    try:
        length = len(res)
        feedback = res[0]
        if length == 1:
            return (int(feedback), "")
        if feedback is None:
            return (0, "MES 系统返回“None”数据，默认为 SUCCESS")
        tokens = feedback.split('"')
        if len(tokens) >= 4:
            raise MESError(res)
        msg = tokens[1] if len(tokens) == 3 else tokens[0]
        return (res[1], msg)
    except MESError:
        raise
    except Exception:
        import traceback
        traceback.print_exc()
        raise MESError(res)


def GetUnitInfo(server, user, password, database, serial_number, procedure, employee, line_name):
    try:
        conn = _sql.connect(server=server, user=user, password=password, database=database)
    except Exception as e:
        raise IOError("SQLError: Connect to Database Server Failed: %s" % str(e))
    sql_stmt = ("\n"
                "DECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"
                "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"
                "SELECT @OutPutxmls, @RETURN;\n")
    try:
        procedure = procedure.encode("gbk")
        employee = employee.encode("gbk")
        line_name = line_name.encode("gbk")
    except BaseException:
        # The driver keeps every open connection: close it, whatever else.
        try:
            conn.close()
        except Exception:
            pass
        raise
    try:
        try:
            res = conn.execute_row(sql_stmt, (serial_number, procedure, employee, line_name))
        except Exception as e:
            raise IOError("SQLError: uspGetUnitInfo Failed: %s" % str(e))
    finally:
        conn.close()
    return process_mes_result(res)


def SaveResult(server, user, password, database, serial_number, procedure, employee, line_name, result,
               error_no):
    try:
        conn = _sql.connect(server=server, user=user, password=password, database=database)
    except Exception as e:
        raise IOError("SQLError: Connect to Database Server Failed: %s" % str(e))
    sql_stmt = ("\n"
                "DECLARE @Msg nvarchar(500), @RETURN int ;\n"
                "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"
                "SELECT @Msg, @RETURN;\n")
    try:
        procedure = procedure.encode("gbk")
        employee = employee.encode("gbk")
        line_name = line_name.encode("gbk")
        result_str = "PASS" if result else "FAIL"
    except BaseException:
        try:
            conn.close()
        except Exception:
            pass
        raise
    try:
        res = conn.execute_row(sql_stmt, (serial_number, procedure, employee, line_name, result_str, error_no))
    except Exception as e:
        conn.close()
        raise IOError("SQLError: uspSaveResult Failed: %s" % str(e))
    except BaseException:
        try:
            conn.close()
        except Exception:
            pass
        raise
    # The answer is read while the connection is open; it is closed after,
    # on every way out, and a failing close does not hide the answer.
    try:
        return process_mes_result(res)
    finally:
        try:
            conn.close()
        except Exception:
            pass
