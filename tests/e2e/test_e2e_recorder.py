"""Recording a real MES and replaying it: a simulator stands in for the factory's MES
upstream, a second one records a scripted station session in front of it, and the recorded
database, served alone, gives the module the same answers."""

import glob
import os

import pytest

from e2e_support import Station

UPSTREAM_PASSWORD = "Up-8472-secret"

# The session: (function, serial, procedure); the MES answers each as it does, and three
# answers are scripted upstream: an error, a slow answer, a dropped connection.
SESSION = [("GetUnitInfo", "SN0001", "FT1"), ("SaveResult", "SN0001", "FT1"),
           ("GetUnitInfo", "SN0001", "FT1"), ("GetUnitInfo", "SN0005", "FT1"),
           ("GetUnitInfo", "SN0002", "FT1"), ("GetUnitInfo", "SN0003", "FT1"),
           ("SaveResult", "SN0004", "FT1")]


def run_session(tv, sim):
    station = Station(tv, sim)
    outcomes = []
    for function, serial, procedure in SESSION:
        try:
            outcomes.append(("returned", station.call(function, serial, procedure)))
        except Exception as exc:
            outcomes.append(("raised", type(exc).__name__, str(exc)))
    return outcomes


@pytest.fixture
def upstream():
    from mes_simulator.testing import Simulator
    sim = Simulator(password=UPSTREAM_PASSWORD, args=["--max-connections", "1024"])
    sim.start()
    sim.add_scenario("error", serial="SN0002", code=50001, text="MES is down for maintenance")
    sim.add_scenario("delay", serial="SN0003", delay=0.3)
    sim.add_scenario("drop_mid_batch", serial="SN0004", partial=0)
    yield sim
    sim.stop()
    sim.cleanup()


def test_a_recorded_session_is_answered_alike_offline(tv, upstream):
    from mes_simulator.testing import Simulator
    recorder = Simulator(args=["--upstream", upstream.server, "--upstream-user", upstream.user],
                         env={"MES_UPSTREAM_PASSWORD": UPSTREAM_PASSWORD})
    recorder.start()
    try:
        recorded = run_session(tv, recorder)
        kept_results = recorder.results("SN0001")
        assert recorder.stop() == 0
        replay = Simulator(db=recorder.db)
        replay.start()
        try:
            replayed = run_session(tv, replay)
        finally:
            replay.stop()
            replay.cleanup()
        # What the station got through the recorder is what the MES itself answers: a second
        # MES of the same demo data, scripted the same way, gives the same.
        with Simulator(args=["--max-connections", "1024"]) as direct:
            direct.add_scenario("error", serial="SN0002", code=50001,
                                text="MES is down for maintenance")
            direct.add_scenario("delay", serial="SN0003", delay=0.3)
            direct.add_scenario("drop_mid_batch", serial="SN0004", partial=0)
            expected = run_session(tv, direct)
        assert recorded == expected
        assert replayed == recorded
        assert [o[0] for o in recorded] == ["returned"] * 4 + ["raised", "returned", "raised"]
        # Only the two procedures went upstream: the upload is the MES's, not the recorder's.
        assert kept_results == []
        assert [r["verdict"] for r in upstream.results("SN0001")] == ["PASS"]
        # The slow answer's time was kept with it.
        delays = [row[0] for row in upstream_rows(recorder.db, "SN0003")]
        assert delays and delays[0] >= 0.3
        # The MES's password is in neither the recorder's database nor its log.
        for path in glob.glob(recorder.db + "*") + [recorder.log]:
            with open(path, "rb") as f:
                assert UPSTREAM_PASSWORD.encode() not in f.read(), path
    finally:
        recorder.stop()
        recorder.cleanup()


def upstream_rows(db, serial):
    from mes_simulator.mes import procedures
    conn = procedures.connect(db)
    try:
        return conn.execute("SELECT delay FROM scenarios WHERE serial = ?", (serial,)).fetchall()
    finally:
        conn.close()
