"""The example station session (examples/station_session.py, what
scripts/main.sh runs) against the simulator, without the dialog."""

import configparser
import os
import subprocess
import sys

from support import BUILD, ROOT

SESSION = os.path.join(ROOT, "examples", "station_session.py")


def run_session(sim, workdir, *options):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
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
        "   -> (0, 'Saved FAIL of SN0008 at FT1 by 李四 on 二线; retest at FT1 (1 of 3 failures)'): accepted",
        "   -> (0, 'Unit SN0008 may be tested at FT1 by 李四 on 二线'): accepted",
        "   -> (4, 'Unit SN0005 is on hold'): REFUSED",
    ]
    assert [line for line in out.splitlines() if line.startswith("   -> ")] == expected
    assert out.count("TVR MES GetUnitInfo: ") == 4
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
    assert refused.returncode == 1
    assert "   -> (5, 'Unit SN0006 is scrapped'): REFUSED" in refused.stdout
    sim.add_scenario("error", code=50001, text="MES is down")
    failing = run_session(sim, tmp_path, "--opname", "张三", "--serial", "SN0009")
    assert failing.returncode == 2
    assert "MES unreachable or failing: SQLError: uspGetUnitInfo Failed: (50001, b'MES is down" in failing.stdout
