"""date, time(n), datetime2(n) and datetimeoffset(n) on the wire.

From TDS 7.3 on they travel as their own types: a date as days since 0001-01-01 (3 bytes), a
time as units of 10**-n seconds since midnight (3, 4 or 5 bytes by n), datetime2 as the time
then the date, datetimeoffset as the UTC datetime2 then the offset in minutes (2 bytes, signed).
Older clients get them as nvarchar text, the way SQL Server converts them to a string.
Values are Python date, time and datetime objects (aware for datetimeoffset); Python keeps
microseconds, so a value with a seventh digit of fraction (100 ns) is a Time7 or DateTime7
carrying that digit as `tick`.
"""

import struct
from datetime import date, datetime, time, timedelta, timezone

CODES = {"date": 0x28, "time": 0x29, "datetime2": 0x2A, "datetimeoffset": 0x2B}
NAMES = {code: name for name, code in CODES.items()}
DAY0 = date(1, 1, 1)
_DAY = 86400 * 10 ** 7  # 100 ns units in a day


class Time7(time):
    """A time with the 100 ns digit Python's time has no room for."""
    tick = 0


class DateTime7(datetime):
    """A datetime with the 100 ns digit Python's datetime has no room for."""
    tick = 0


def with_tick(value, tick):
    """The value with its seventh digit of fraction (0 to 9)."""
    if not tick:
        return value
    if isinstance(value, datetime):
        out = DateTime7(value.year, value.month, value.day, value.hour, value.minute,
                        value.second, value.microsecond, value.tzinfo)
    else:
        out = Time7(value.hour, value.minute, value.second, value.microsecond, value.tzinfo)
    out.tick = tick
    return out


def as_type(value, name, scale):
    """A date, time or datetime value as a value of type name(scale): a date for date, a time
    for time, a datetime for the others (aware for datetimeoffset: +00:00 when it had no
    offset; the local time kept when another type drops the offset), rounded to the scale of
    time, datetime2 and datetimeoffset."""
    if name == "date":
        return value.date() if isinstance(value, datetime) else \
            value if not isinstance(value, time) else date(1900, 1, 1)
    if isinstance(value, time):
        moment = with_tick(datetime.combine(date(1900, 1, 1), time(
            value.hour, value.minute, value.second, value.microsecond)), getattr(value, "tick", 0))
    elif isinstance(value, datetime):
        moment = value
    else:
        moment = datetime.combine(value, time())
    if name not in CODES:  # datetime, smalldatetime: rounded as they go out
        return moment.replace(tzinfo=None) if moment.tzinfo is not None else moment
    local, offset = _moment(moment)
    days, units = _rounded(local, scale, getattr(moment, "tick", 0))
    ticks = units * 10 ** (7 - scale)
    try:
        out = datetime.combine(DAY0 + timedelta(days=days), time()) \
            + timedelta(microseconds=ticks // 10)
    except OverflowError:  # 9999-12-31 23:59:59.9999999 rounded up
        raise ValueError("out of range") from None
    if name == "time":
        return with_tick(out.time(), ticks % 10)
    if name == "datetimeoffset":
        out = out.replace(tzinfo=timezone(timedelta(minutes=offset)))
    return with_tick(out, ticks % 10)


def time_bytes(scale):
    """Bytes of the time part at this fractional-seconds scale."""
    return 3 if scale <= 2 else 4 if scale <= 4 else 5


def value_length(name, scale):
    """Bytes of a value of this type (its TYPE_INFO's length)."""
    if name == "date":
        return 3
    n = time_bytes(scale)
    return n + {"time": 0, "datetime2": 3, "datetimeoffset": 5}[name]


def type_info(name, scale):
    return bytes([CODES[name]]) if name == "date" else bytes([CODES[name], scale])


def text_length(name, scale):
    """Characters of the value as text (the nvarchar size older clients are given)."""
    fraction = scale + 1 if scale else 0
    return {"date": 10, "time": 8 + fraction, "datetime2": 19 + fraction,
            "datetimeoffset": 26 + fraction}[name]


def _moment(value):
    """(datetime, offset minutes) of a date, time or datetime value."""
    if isinstance(value, datetime):
        offset = value.utcoffset()
        minutes = 0 if offset is None else int(offset.total_seconds() // 60)
        return datetime(value.year, value.month, value.day, value.hour, value.minute,
                        value.second, value.microsecond), minutes
    if isinstance(value, time):
        return datetime.combine(date(1900, 1, 1), time(value.hour, value.minute, value.second,
                                                       value.microsecond)), 0
    return datetime.combine(value, time()), 0


def _rounded(moment, scale, tick=0):
    """(days since 0001-01-01, units of 10**-scale seconds since midnight), rounded half up
    as SQL Server rounds a value to a smaller scale (23:59:59.9999999 may become the next day)."""
    days = (moment.date() - DAY0).days
    ticks = (((moment.hour * 60 + moment.minute) * 60 + moment.second) * 10 ** 6
             + moment.microsecond) * 10 + tick
    step = 10 ** (7 - scale)
    carry, units = divmod((ticks + step // 2) // step, _DAY // step)
    return days + carry, units


def encode(value, name, scale):
    """The value as a ROW or RETURNVALUE carries it: a length byte, then the bytes (0: NULL)."""
    if value is None:
        return b"\x00"
    moment, offset = _moment(value)
    if name == "datetimeoffset":
        moment = moment - timedelta(minutes=offset)  # stored as UTC
    days, units = _rounded(moment, 0 if name == "date" else scale, getattr(value, "tick", 0))
    if name == "time":
        days = 0  # a time's rounding past midnight wraps, as CAST does
    date_part = days.to_bytes(3, "little")
    time_part = units.to_bytes(time_bytes(scale), "little")
    body = {"date": date_part, "time": time_part, "datetime2": time_part + date_part,
            "datetimeoffset": time_part + date_part + struct.pack("<h", offset)}[name]
    return bytes([len(body)]) + body


def decode(raw, name, scale):
    """The value of the bytes of a value (without the length byte)."""
    if name == "date":
        return DAY0 + timedelta(days=int.from_bytes(raw[:3], "little"))
    n = time_bytes(scale)
    ticks = int.from_bytes(raw[:n], "little") * 10 ** (7 - scale)
    moment = timedelta(microseconds=ticks // 10)
    if name == "time":
        return with_tick((datetime.min + moment).time(), ticks % 10)
    value = datetime.combine(DAY0 + timedelta(days=int.from_bytes(raw[n:n + 3], "little")),
                             time()) + moment
    if name == "datetimeoffset":
        offset = struct.unpack("<h", raw[n + 3:n + 5])[0]
        value = value.replace(tzinfo=timezone.utc).astimezone(
            timezone(timedelta(minutes=offset)))
    return with_tick(value, ticks % 10)


def text(value, name, scale):
    """The value as SQL Server converts it to nvarchar (style 121 for the date and time parts):
    2024-05-01, 08:00:00.1234567, 2024-05-01 08:00:00.1234567,
    2024-05-01 08:00:00.1234567 +08:00."""
    if value is None:
        return None
    moment, offset = _moment(value)
    days, units = _rounded(moment, 0 if name == "date" else scale, getattr(value, "tick", 0))
    day = DAY0 + timedelta(days=days)
    if name == "date":
        return day.isoformat()
    seconds, fraction = divmod(units, 10 ** scale)
    clock = "%02d:%02d:%02d" % (seconds // 3600 % 24, seconds // 60 % 60, seconds % 60)
    if scale:
        clock += ".%0*d" % (scale, fraction)
    if name == "time":
        return clock
    out = day.isoformat() + " " + clock
    if name == "datetimeoffset":
        sign = "-" if offset < 0 else "+"
        out += " %s%02d:%02d" % (sign, abs(offset) // 60, abs(offset) % 60)
    return out
