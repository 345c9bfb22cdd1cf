"""The MES check against the simulator standing in for the factory's MES, through the real
driver; in stand-in mode these tests are not collected."""

import os
import sys

import pytest

from support import ROOT, STANDIN_MODE

collect_ignore_glob = ["test_*.py"] if STANDIN_MODE else []

sys.path.insert(0, os.path.join(ROOT, "mes_check"))


@pytest.fixture(scope="module")
def standard_mes():
    """A MES as the station expects it: the demo data, code page 936, the usual procedures."""
    from mes_simulator.testing import Simulator
    sim = Simulator()
    sim.start()
    yield sim
    assert sim.stop() == 0
    sim.cleanup()
