"""date, time(n), datetime2(n) and datetimeoffset(n) as SQL Server computes them.

Values are Python date, time and datetime objects (aware for datetimeoffset); Python keeps
microseconds, so a value with a seventh digit of fraction (100 ns) is a Time7 or DateTime7
carrying that digit as `tick`.  Rounding to a type's scale is SQL Server's: half up, and
23:59:59.9999999 may become the next day.  (Their bytes on the wire are wire/datetimes.py's.)
"""

from datetime import date, datetime, time, timedelta, timezone

PRECISE = {"date", "time", "datetime2", "datetimeoffset"}  # the types of their own scale
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
    if name not in PRECISE:  # datetime, smalldatetime: rounded as they go out
        return moment.replace(tzinfo=None) if moment.tzinfo is not None else moment
    local, offset = moment_of(moment)
    days, units = rounded(local, scale, getattr(moment, "tick", 0))
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


def moment_of(value):
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


def rounded(moment, scale, tick=0):
    """(days since 0001-01-01, units of 10**-scale seconds since midnight), rounded half up
    as SQL Server rounds a value to a smaller scale (23:59:59.9999999 may become the next day)."""
    days = (moment.date() - DAY0).days
    ticks = (((moment.hour * 60 + moment.minute) * 60 + moment.second) * 10 ** 6
             + moment.microsecond) * 10 + tick
    step = 10 ** (7 - scale)
    carry, units = divmod((ticks + step // 2) // step, _DAY // step)
    return days + carry, units
