"""Arbitrary texts through the real driver to the MES simulator: a serial
number (sent as it is), employee and line names (sent as GBK) and an error
number come back in the MES's answer and are stored exactly as typed."""

import itertools
import os

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from robustness_support import STANDIN_MODE, Discard, examples

pytestmark = pytest.mark.skipif(STANDIN_MODE, reason="needs the real driver and the MES simulator")

_numbers = itertools.count()


@pytest.fixture(scope="module")
def sim():
    from mes_simulator.testing import Simulator
    server = Simulator()
    server.start()
    yield server
    assert server.stop() == 0
    server.cleanup()


def gbk_encodable(text):
    try:
        text.encode("gbk")
        return True
    except UnicodeEncodeError:
        return False


# The MES refuses a blank name (NULL, empty or spaces only); a NUL ends
# the batch inside the driver (see tests/e2e); the answer's text is cut at
# 500 characters, so names stay short.
names = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), min_size=1,
                max_size=30).filter(lambda t: t.rstrip(" ") and gbk_encodable(t))
chinese = st.text(st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5), min_size=1, max_size=8)
serial_tails = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=20).map(
    lambda t: t.rstrip(" "))  # the MES compares serial numbers without trailing blanks
error_numbers = st.one_of(st.integers(-10 ** 9, 10 ** 9), st.text(
    st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=12))


def show(text):
    """How the MES echoes a value inside its quoted message."""
    return text.replace('"', "'")


@examples(share=0.5)
@given(tail=serial_tails, employee=st.one_of(names, chinese), line=st.one_of(names, chinese),
       error_no=error_numbers)
@example(tail="😀e\u0301'\"]", employee='欧阳"镕', line="L'1 --", error_no='E"1')  # outside the BMP, quotes
def test_texts_arrive_at_the_mes_as_typed(sim, tail, employee, line, error_no):
    import contextlib

    import m4r_tessavor as tv
    serial = sim.add_unit(serial="H%d-%d-%s" % (os.getpid(), next(_numbers), tail), route=("FT1", "FT2"))
    login = (sim.server, sim.user, sim.password, sim.database)
    with contextlib.redirect_stdout(Discard()):
        query = tv.GetUnitInfo(*login, serial, "FT1", employee, line)
        upload = tv.SaveResult(*login, serial, "FT1", employee, line, False, error_no)
    sn, by = show(serial), "by %s on %s" % (show(employee), show(line))
    assert query == (0, "Unit %s may be tested at FT1 %s" % (sn, by))
    assert upload == (0, "Saved FAIL of %s at FT1 %s; retest at FT1 (1 of 3 failures)" % (sn, by))
    rows = sim.results(serial)
    assert [(r["employee"], r["line"], r["verdict"], r["error_no"]) for r in rows] == [
        (employee, line, "FAIL", str(error_no))]
