"""The MES check: each line passes, warns or fails as the MES it meets deserves."""

import ast
import glob
import io
import json
import os
import shutil
import subprocess
import sys
from contextlib import redirect_stdout

import pytest

from support import ROOT

from m4r_mescheck import cli

CHECKS = ["login", "server", "code page", "GBK round trip",
          "dbo.uspGetUnitInfo parameters", "dbo.uspGetUnitInfo permission",
          "dbo.uspSaveResult parameters", "dbo.uspSaveResult permission"]


def run_check(sim, *extra, password=None):
    """The check's JSON answer and its exit code, run as the station runs it."""
    login = [sim.server, sim.user, sim.password if password is None else password, sim.database]
    out = io.StringIO()
    with redirect_stdout(out):
        code = cli.main(login + ["--connects", "3", "--json"] + list(extra))
    answer = json.loads(out.getvalue())
    assert answer["exit"] == code
    return answer, code


def statuses(answer):
    return {line["check"]: line["status"] for line in answer["lines"]}


# Each MES the station may meet, and the lines that must then differ from PASS.
@pytest.mark.parametrize("args, differ, code", [
    ([], {}, 0),
    (["--codepage", "cp1252"], {"code page": "WARN", "GBK round trip": "FAIL"}, 2),
    (["--deny-execute"], {"dbo.uspGetUnitInfo permission": "FAIL",
                          "dbo.uspSaveResult permission": "FAIL"}, 2),
    # renamed: the module passes by position, so it still works, but it may mean another thing
    (["--parameter", "uspGetUnitInfo:3=@Operator varchar(50)"],
     {"dbo.uspGetUnitInfo parameters": "WARN"}, 1),
    # GBK bytes into nvarchar: garbled
    (["--parameter", "uspSaveResult:3=@Employee nvarchar(50)"],
     {"dbo.uspSaveResult parameters": "FAIL"}, 2),
    # an output the module's variable cannot hold whole
    (["--parameter", "uspGetUnitInfo:5=@OutPutxmls nvarchar(max) OUTPUT"],
     {"dbo.uspGetUnitInfo parameters": "WARN"}, 1),
    # the module's OUT argument meets an input parameter
    (["--parameter", "uspSaveResult:8=@RETURN int"], {"dbo.uspSaveResult parameters": "FAIL"}, 2),
    (["--login-delay", "0.6"], {"login": "WARN"}, 1),
], ids=["as expected", "code page", "no execute right", "renamed", "nvarchar input",
        "longer output", "not output", "slow connect"])
def test_each_line_judges_what_it_meets(args, differ, code):
    from mes_simulator.testing import Simulator
    with Simulator(args=args) as sim:
        answer, got = run_check(sim)
    expected = {check: differ.get(check, "PASS") for check in CHECKS}
    assert statuses(answer) == expected, answer["lines"]
    assert got == code
    for line in answer["lines"]:
        assert bool(line["advice"]) == (line["status"] != "PASS") or line["check"] == "server"


def test_a_refused_login_ends_the_check_and_never_shows_the_password(standard_mes):
    secret = "Secret-pw-8472"
    answer, code = run_check(standard_mes, password=secret)
    assert code == 2
    assert [(l["check"], l["status"]) for l in answer["lines"]] == [("login", "FAIL")]
    assert "18456" in answer["lines"][0]["detail"]
    assert secret not in json.dumps(answer)


def test_the_unit_query_is_the_modules_own_and_writes_nothing(standard_mes, tv):
    before = standard_mes.results()
    answer, code = run_check(standard_mes, "--serial", "SN0001", "--procedure", "FT1",
                             "--employee", "张三", "--line", "一线")
    line = answer["lines"][-1]
    assert (line["check"], line["status"], code) == ("GetUnitInfo SN0001", "PASS", 0)
    expected = tv.GetUnitInfo(standard_mes.server, standard_mes.user, standard_mes.password,
                              standard_mes.database, "SN0001", "FT1", "张三", "一线")
    assert repr(expected) in line["detail"]
    assert "TVR MES GetUnitInfo:" in line["detail"]
    assert standard_mes.results() == before


def test_text_output_names_each_line_and_the_summary(standard_mes):
    out = io.StringIO()
    with redirect_stdout(out):
        code = cli.main([standard_mes.server, standard_mes.user, standard_mes.password,
                         standard_mes.database, "--connects", "2"])
    lines = out.getvalue().splitlines()
    assert code == 0
    assert [l.split()[0] for l in lines[1:-1]] == ["PASS"] * len(CHECKS)
    assert lines[-1] == "summary: %d PASS, 0 WARN, 0 FAIL; exit code 0" % len(CHECKS)


def _sources():
    folder = os.path.join(ROOT, "mes_check", "m4r_mescheck")
    return [os.path.join(folder, name) for name in sorted(os.listdir(folder))
            if name.endswith(".py")]


@pytest.mark.skipif(sys.version_info < (3, 8), reason="ast.parse has feature_version from 3.8")
@pytest.mark.parametrize("path", _sources(), ids=os.path.basename)
def test_the_check_reads_as_python_3_6(path):
    with open(path, encoding="utf-8") as f:
        ast.parse(f.read(), path, feature_version=(3, 6))


def _python36():
    """A Python 3.6 that runs, if this machine has one (on PATH, or one pyenv built)."""
    candidates = [shutil.which("python3.6")] + sorted(glob.glob(os.path.expanduser(
        "~/.pyenv/versions/3.6*/bin/python3.6")))
    for candidate in candidates:
        probe = [candidate, "-c", "import sys; assert sys.version_info[:2] == (3, 6)"]
        if candidate and subprocess.call(probe, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL) == 0:
            return candidate
    return None


PYTHON36 = _python36()


@pytest.mark.skipif(PYTHON36 is None, reason="no Python 3.6 at hand")
def test_python_3_6_compiles_the_check():
    subprocess.check_call([PYTHON36, "-c", "import py_compile, sys\n"
                           "for path in sys.argv[1:]: py_compile.compile(path, doraise=True, "
                           "cfile=path + '.check36')"] + _sources())
    for path in _sources():
        os.remove(path + ".check36")
