import pytest

from simulator_support import ROOT  # noqa: F401  (puts the repository root on sys.path)
from mes_simulator.testing import Simulator


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
