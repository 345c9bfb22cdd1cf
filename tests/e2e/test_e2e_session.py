"""The example station session (examples/station_session.py, what
scripts/main.sh runs) against the simulator, without the dialog."""

import configparser
import os
import subprocess
import sys

import pytest

from support import BUILD, ROOT

SESSION = os.path.join(ROOT, "examples", "station_session.py")


def run_session(sim, workdir, *options, display=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return subprocess.run([sys.executable, SESSION, "--server", sim.server, "--workdir", str(workdir),
                           "--build", BUILD, *options],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120, env=env)


def test_session_queries_uploads_queries_again_and_shows_a_refusal(sim, tmp_path):
    done = run_session(sim, tmp_path / "station", "--opname", "李四", "--slot", "F7", "--serial", "SN0008",
                       "--line", "二线", "--verdict", "FAIL", "--error-no", "E-31")
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    expected = [
        "   -> (0, 'Unit SN0008 may be tested at FT1 by 李四 on 二线'): accepted",
        "   -> (0, 'Saved FAIL of SN0008 at FT1 by 李四 on 二线; retest at FT1 (1 of 3 failures)'): saved",
        "   -> (0, 'Unit SN0008 may be tested at FT1 by 李四 on 二线'): accepted",
        "   -> (4, 'Unit SN0005 is on hold'): refused, as scripted",
    ]
    assert [line for line in out.splitlines() if line.startswith("   -> ")] == expected
    # the module's own line for each answer, and one note that says it is meant
    assert len([line for line in out.splitlines() if line.startswith("TVR MES GetUnitInfo: {")]) == 4
    assert out.count("the module's contract") == 1
    assert out.splitlines()[-1] == "   every step answered as expected"
    assert [(r["employee"], r["line"], r["verdict"], r["error_no"]) for r in sim.results("SN0008")] == [
        ("李四", "二线", "FAIL", "E-31")]
    saved = configparser.ConfigParser(interpolation=None)
    saved.read(tmp_path / "station" / "info.cfg", encoding="utf-8")
    assert (saved["Sec"]["opname"], saved["Sec"]["slot"]) == ("李四", "F7")


def test_session_takes_the_operator_from_info_cfg(sim, tmp_path):
    station = tmp_path / "station"
    station.mkdir()
    (station / "info.cfg").write_text("[Sec]\nproducttype = M4R-200\nmrno = MR-9\nopname = 王五\nslot = F3\n",
                                      encoding="utf-8")
    done = run_session(sim, station, "--no-dialog", "--serial", "SN0010")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "   operator      王五" in done.stdout
    assert [r["employee"] for r in sim.results("SN0010")] == ["王五"]


def test_session_stops_when_the_mes_refuses_the_unit_or_is_unreachable(sim, tmp_path):
    refused = run_session(sim, tmp_path, "--opname", "张三", "--serial", "SN0006")
    assert refused.returncode == 3
    assert "   -> (5, 'Unit SN0006 is scrapped'): REFUSED, NOT AS EXPECTED (expected: accepted)" in refused.stdout
    assert "   2     GetUnitInfo SN0006 at FT1  accepted  refused (5)  <- not as expected" in refused.stdout
    sim.add_scenario("error", code=50001, text="MES is down")
    failing = run_session(sim, tmp_path, "--opname", "张三", "--serial", "SN0009")
    assert failing.returncode == 4
    assert "MES unreachable or failing: SQLError: uspGetUnitInfo Failed: (50001, b'MES is down" in failing.stdout


@pytest.mark.parametrize("verdict, failures, step4", [
    # after a PASS the MES moves the unit on: refused at FT1, as the session expects
    ("PASS", 0, ("refused", "refused (2)")),
    # a FAIL keeps it there for a retest ...
    ("FAIL", 0, ("accepted", "accepted (0)")),
    # ... unless it was the third in a row, which sends it to repair
    ("FAIL", 2, ("refused", "refused (6)")),
])
def test_session_expects_what_the_upload_made_of_the_unit(sim, tmp_path, verdict, failures, step4):
    unit = sim.add_unit(failures=failures)
    done = run_session(sim, tmp_path, "--opname", "张三", "--serial", unit, "--verdict", verdict)
    assert done.returncode == 0, done.stdout + done.stderr
    rows = {line.split()[0]: line.split() for line in done.stdout.splitlines() if line[:4] in ("   4", "   5")}
    assert (rows["4"][5], " ".join(rows["4"][6:])) == step4
    assert rows["5"][2:] == ["SN0005", "at", "FT1", "refused", "refused", "(4)"]


def test_session_says_when_the_display_cannot_be_opened(sim, tmp_path):
    done = run_session(sim, tmp_path, "--opname", "张三", display=":9999")
    assert done.returncode == 6, done.stdout + done.stderr
    assert "DISPLAY is set to ':9999', but no display can be opened there" in done.stdout
    assert sim.results("SN0001") == []  # nothing was asked of the MES
