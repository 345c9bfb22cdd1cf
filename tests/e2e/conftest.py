"""End-to-end set-up: the built module and the real driver (pymssql._mssql on
FreeTDS) against the MES simulator on loopback.

The stand-in driver cannot talk to the simulator, so in stand-in mode these
tests are not collected at all."""

import pytest

from support import STANDIN_MODE

collect_ignore_glob = ["test_*.py"] if STANDIN_MODE else []


@pytest.fixture(scope="module")
def server():
    """One simulator for a test module, seeded with the demo data. It serves
    many connections at once: an upload that leaves its connection open
    (see test_e2e_faults.py) must not use up the connections later calls
    need (past the limit a login is refused with error 17809)."""
    from mes_simulator.testing import Simulator
    sim = Simulator(args=["--max-connections", "1024"])
    sim.start()
    yield sim
    code = sim.stop()
    sim.cleanup()
    assert code == 0, "the simulator did not stop cleanly"


@pytest.fixture
def sim(server):
    """The module's simulator with an empty scenarios table."""
    server.clear_scenarios()
    yield server
    server.clear_scenarios()


@pytest.fixture
def station(sim, tv):
    """The station's two calls, with the simulator's address and login."""
    from e2e_support import Station
    return Station(tv, sim)
