"""A stand-in for the wx toolkit, for interpreters without a display.

It offers what the station dialogs use, keeps every control and sizer as a
plain object that tests can inspect, and records each toolkit call in
`calls` as (receiver, method, args, kwargs), so that tests can check the
order and the arguments of the dialog's construction. A modal run
(`ShowModal`) works off the callbacks queued with `CallAfter` until the
dialog ends.
"""

ID_ANY = -1
ID_OK = 5100
ID_CANCEL = 5101
EmptyString = ""
VERTICAL = 0x0008
HORIZONTAL = 0x0004
BOTH = VERTICAL | HORIZONTAL
FLEX_GROWMODE_SPECIFIED = 1
ALL = 0x00F0
EXPAND = 0x2000
DEFAULT_DIALOG_STYLE = 0x20001800
OK = 0x0004
ICON_ERROR = 0x0200
CENTRE = 0x0001

calls = []
_pending = []


def reset():
    """Forgets the recorded calls and the queued callbacks."""
    calls.clear()
    _pending.clear()


def _record(receiver, method, args=(), kwargs=None):
    calls.append((receiver, method, tuple(args), dict(kwargs or {})))


class Size(tuple):
    def __new__(cls, width, height):
        return super().__new__(cls, (width, height))


class Point(tuple):
    def __new__(cls, x, y):
        return super().__new__(cls, (x, y))


DefaultSize = Size(-1, -1)
DefaultPosition = Point(-1, -1)


class PyEventBinder:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "wx.%s" % self.name


EVT_BUTTON = PyEventBinder("EVT_BUTTON")


class CommandEvent:
    """A button click. It has no truth value of its own."""

    def __init__(self, source):
        self.source = source
        self.skipped = False

    def GetEventObject(self):
        return self.source

    def GetId(self):
        return self.source.GetId()

    def Skip(self, skip=True):
        self.skipped = skip


class WrapperType(type):
    """The metaclass of the toolkit's classes. Its class namespace keeps
    the order in which names are bound, for tests of class creation."""

    @classmethod
    def __prepare__(mcs, name, bases, **kwargs):
        return _OrderedNamespace()


class _OrderedNamespace(dict):
    def __init__(self):
        super().__init__()
        self.order = []

    def __setitem__(self, key, value):
        self.order.append(key)
        super().__setitem__(key, value)


class Object(metaclass=WrapperType):
    pass


class Window(Object):
    def __init__(self, parent=None, id=ID_ANY):
        self.parent = parent
        self.id = id
        self.children = []
        self.destroyed = False
        if isinstance(parent, Window):
            parent.children.append(self)

    def GetId(self):
        return self.id

    def GetParent(self):
        return self.parent

    def GetChildren(self):
        return list(self.children)

    def Destroy(self):
        self.destroyed = True
        return True


class Dialog(Window):
    def __init__(self, parent, id=ID_ANY, title=EmptyString, pos=DefaultPosition, size=DefaultSize,
                 style=DEFAULT_DIALOG_STYLE, name="dialog"):
        _record(self, "Dialog.__init__", (parent,),
                dict(id=id, title=title, pos=pos, size=size, style=style))
        super().__init__(parent, id)
        self.title = title
        self.style = style
        self.sizer = None
        self.size_hints = None
        self.centred = None
        self.laid_out = False
        self.modal = False
        self.return_code = 0

    def SetSizeHintsSz(self, minSize, maxSize=DefaultSize):
        _record(self, "SetSizeHintsSz", (minSize, maxSize))
        self.size_hints = (minSize, maxSize)

    def SetSizeHints(self, minSize, maxSize=DefaultSize):
        _record(self, "SetSizeHints", (minSize, maxSize))
        self.size_hints = (minSize, maxSize)

    def SetSizer(self, sizer):
        _record(self, "SetSizer", (sizer,))
        self.sizer = sizer

    def GetSizer(self):
        return self.sizer

    def Layout(self):
        _record(self, "Layout")
        self.laid_out = True

    def Centre(self, direction=BOTH):
        _record(self, "Centre", (direction,))
        self.centred = direction

    def GetTitle(self):
        return self.title

    def GetDefaultItem(self):
        return getattr(self, "_default_item", None)

    def IsModal(self):
        return self.modal

    def GetReturnCode(self):
        return self.return_code

    def EndModal(self, retCode):
        _record(self, "EndModal", (retCode,))
        self.return_code = retCode
        self.modal = False

    def ShowModal(self):
        """Runs the queued callbacks until the dialog ends."""
        self.modal = True
        while self.modal and _pending:
            callback, args, kwargs = _pending.pop(0)
            callback(*args, **kwargs)
        if self.modal:
            self.modal = False
            raise RuntimeError("modal run ended with nothing left to do")
        return self.return_code


class StaticText(Window):
    def __init__(self, parent, id=ID_ANY, label=EmptyString, pos=DefaultPosition, size=DefaultSize, style=0):
        _record(self, "StaticText", (parent, id, label, pos, size, style))
        super().__init__(parent, id)
        self.label = label
        self.wrap = None

    def Wrap(self, width):
        _record(self, "Wrap", (width,))
        self.wrap = width

    def GetLabel(self):
        return self.label


class TextCtrl(Window):
    def __init__(self, parent, id=ID_ANY, value=EmptyString, pos=DefaultPosition, size=DefaultSize, style=0):
        _record(self, "TextCtrl", (parent, id, value, pos, size, style))
        super().__init__(parent, id)
        self.value = value

    def GetValue(self):
        return self.value

    def SetValue(self, value):
        _record(self, "SetValue", (value,))
        if not isinstance(value, str):
            raise TypeError("TextCtrl.SetValue(): argument 1 has unexpected type %r" % type(value).__name__)
        self.value = value


class Button(Window):
    def __init__(self, parent, id=ID_ANY, label=EmptyString, pos=DefaultPosition, size=DefaultSize, style=0):
        _record(self, "Button", (parent, id, label, pos, size, style))
        super().__init__(parent, id)
        self.label = label
        self.handlers = []

    def GetLabel(self):
        return self.label

    def SetDefault(self):
        _record(self, "SetDefault")
        self.parent._default_item = self

    def Bind(self, event, handler):
        _record(self, "Bind", (event, handler))
        self.handlers.append((event, handler))

    def Click(self):
        """A click: the bound handler runs; a click it skips, or one with no
        handler, goes on to the dialog, which ends on ID_CANCEL."""
        event = CommandEvent(self)
        handled = False
        for binder, handler in reversed(self.handlers):
            if binder is EVT_BUTTON:
                event.skipped = False
                handler(event)
                handled = not event.skipped
                break
        if not handled and self.id == ID_CANCEL and isinstance(self.parent, Dialog):
            self.parent.EndModal(ID_CANCEL)
        return event


class _Sizer(Object):
    def __init__(self):
        self.items = []
        self.fitted = None

    def Add(self, item, proportion=0, flag=0, border=0):
        _record(self, "Add", (item, proportion, flag, border))
        self.items.append((item, proportion, flag, border))

    def Fit(self, window):
        _record(self, "Fit", (window,))
        self.fitted = window

    def GetChildren(self):
        return list(self.items)


class BoxSizer(_Sizer):
    def __init__(self, orient=HORIZONTAL):
        _record(self, "BoxSizer", (orient,))
        super().__init__()
        self.orientation = orient


class FlexGridSizer(_Sizer):
    def __init__(self, rows=0, cols=0, vgap=0, hgap=0):
        _record(self, "FlexGridSizer", (rows, cols, vgap, hgap))
        super().__init__()
        self.shape = (rows, cols, vgap, hgap)
        self.growable_cols = []
        self.flexible_direction = None
        self.grow_mode = None

    def AddGrowableCol(self, idx, proportion=0):
        _record(self, "AddGrowableCol", (idx,))
        self.growable_cols.append(idx)

    def IsColGrowable(self, idx):
        return idx in self.growable_cols

    def SetFlexibleDirection(self, direction):
        _record(self, "SetFlexibleDirection", (direction,))
        self.flexible_direction = direction

    def SetNonFlexibleGrowMode(self, mode):
        _record(self, "SetNonFlexibleGrowMode", (mode,))
        self.grow_mode = mode


class App:
    def __init__(self, redirect=False):
        pass

    def MainLoop(self):
        pass


def CallAfter(callback, *args, **kwargs):
    _pending.append((callback, args, kwargs))


def GetActiveWindow():
    return None


def GetTopLevelWindows():
    return []
