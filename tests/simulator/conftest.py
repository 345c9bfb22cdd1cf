import os

import pytest
from hypothesis import settings

from simulator_support import ROOT  # noqa: F401  (puts the repository root on sys.path)
from mes_simulator.testing import Simulator

# Property tests: derandomized under CI (a red or green run means the code, not the examples
# drawn), exploring new examples when run by hand.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
settings.register_profile("explore", database=None, print_blob=True)
settings.load_profile("ci" if os.environ.get("CI") else "explore")


@pytest.fixture(scope="session")
def server():
    sim = Simulator()
    sim.start()
    yield sim
    assert sim.stop() == 0
    sim.cleanup()


@pytest.fixture
def sim(server):
    server.clear_scenarios()
    yield server
    server.clear_scenarios()


@pytest.fixture
def conn(sim):
    c = sim.connect()
    yield c
    c.close()
