"""The commands a newcomer runs first: scripts/test.sh's lanes and help,
scripts/main.sh's help and exit codes, scripts/setup.sh's plan."""

import os
import re
import shlex
import socket
import subprocess

import pytest

from scripts_support import help_of, release_build_only
from support import ROOT

BASH = "/bin/bash"


def run(*command, **kwargs):
    env = dict(os.environ, **kwargs.pop("env", {}))
    for name in kwargs.pop("unset", ()):
        env.pop(name, None)
    return subprocess.run(list(command), cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env, timeout=kwargs.pop("timeout", 300))


def script(name, *args, **kwargs):
    return run(BASH, os.path.join("scripts", name), *args, **kwargs)


# ---------------------------------------------------------------- test.sh

def lanes():
    listed = script("test.sh", "--list")
    assert listed.returncode == 0, listed.stderr
    return [line.split()[0] for line in listed.stdout.splitlines()]


def test_test_sh_lists_its_lanes_and_its_help_names_each():
    names = lanes()
    assert names == ["real", "debug", "leaks", "sanitizers", "memory", "i386", "gbk", "wheel"]
    shown = script("test.sh", "--help")
    assert shown.returncode == 0 and shown.stdout.startswith("usage: bash scripts/test.sh")
    for name in names:
        assert re.search(r"^  %s\s" % name, shown.stdout, re.M), name


@pytest.mark.parametrize("args, message", [
    (["nolane"], "no lane named 'nolane'"),
    (["--nooption"], "unknown option --nooption"),
    (["real", "nolane"], "no lane named 'nolane'"),  # refused before any lane runs
])
def test_test_sh_refuses_what_it_does_not_know_before_running_anything(args, message):
    refused = script("test.sh", *args)
    assert refused.returncode == 2
    assert message in refused.stderr
    assert refused.stdout == ""


def dry_run(*lanes_):
    shown = script("test.sh", "--dry-run", *lanes_)
    assert shown.returncode == 0, shown.stderr
    return shown.stdout.splitlines()


def test_dry_run_shows_the_lanes_named_in_their_order_and_each_build_once():
    lines = dry_run("gbk", "debug", "leaks", "memory")
    assert [line.split(":")[0] for line in lines if line.startswith("== ")] == [
        "== gbk", "== debug", "== leaks", "== memory"]
    builds = [line for line in lines if line.startswith("bash scripts/build.sh")]
    assert builds == ["bash scripts/build.sh release", "bash scripts/build.sh debug"]


def commands():
    """Every command of every lane, as words."""
    return [shlex.split(line) for line in dry_run() if not line.startswith("== ")]


def test_every_lane_command_names_files_and_options_that_exist():
    """What CI runs and what a developer repeats by hand are one list: each
    file a command names exists, and each option it gives a script of ours
    is one that script takes."""
    checked = set()
    for words in commands():
        while words and re.match(r"^[A-Z_]+=", words[0]) or words[:1] == ["env"]:
            words = words[1:]
        for i, word in enumerate(words):
            if re.match(r"^(scripts|tests|bench)/.*\.(py|sh)$", word) or word == "tests":
                assert os.path.exists(os.path.join(ROOT, word)), word
            if word.endswith(".py") and word.startswith(("tests/", "bench/")):
                options = [w for w in words[i + 1:] if w.startswith("--")]
                if options and word not in checked:
                    checked.add(word)
                    usage = help_of(word)
                    for option in options:
                        assert option in usage, (word, option, usage)
    assert checked == {"tests/leakcheck.py", "bench/robustness/stress.py", "bench/robustness/memory.py"}


def test_sanitizer_runs_stop_at_the_first_fault():
    """A finding must fail its lane: ASan aborts, and UBSan halts (by
    default it reports and goes on)."""
    sanitized = [words for words in commands() if any(w.startswith("LD_PRELOAD=") for w in words)]
    assert len(sanitized) == 3  # the real suite, the stand-in suite, the stress run
    for words in sanitized:
        settings = dict(w.split("=", 1) for w in words if re.match(r"^[A-Z_]+=", w))
        assert "halt_on_error=1" in settings["UBSAN_OPTIONS"].split(":")
        assert "abort_on_error=1" in settings["ASAN_OPTIONS"].split(":")
        assert "libasan" in settings["LD_PRELOAD"] and "libubsan" in settings["LD_PRELOAD"]


# ---------------------------------------------------------------- setup.sh

def test_setup_sh_tells_its_plan_and_changes_nothing_in_a_dry_run():
    planned = script("setup.sh", "--dry-run", "main")
    assert planned.returncode == 0, planned.stderr
    first = planned.stdout.splitlines()[0]
    assert first in ("setup (main): everything is in place", "setup (main) will change this machine:")
    # the main job's group never fetches the client tests' Node packages
    assert "npm" not in planned.stdout and "i386" not in planned.stdout
    refused = script("setup.sh", "--dry-run", "everything")
    assert refused.returncode == 2 and "unknown group" in refused.stderr


# ---------------------------------------------------------------- main.sh

def test_main_sh_help_answers_before_any_set_up_and_lists_every_option(tmp_path):
    # With a PATH that has no apt-get, dpkg, cmake or compiler, anything
    # past the options would fail: --help must answer before all that.
    for tool in ("dirname", "cat", "sed"):
        os.symlink("/bin/" + tool, str(tmp_path / tool))
    shown = run(BASH, "scripts/main.sh", "--help", env={"PATH": str(tmp_path)})
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.startswith("usage: bash scripts/main.sh")
    session = run("/usr/bin/python3", "examples/station_session.py", "--help")
    session_options = set(re.findall(r"^  (--[a-z-]+)", session.stdout, re.M))
    assert {"--server", "--serial", "--verdict", "--no-dialog", "--auto-confirm"} <= session_options
    for option in session_options | {"--xvfb", "--keep", "--port", "--dir", "--stop"}:
        assert option in shown.stdout, option


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.real_only
@release_build_only
@pytest.mark.parametrize("args, env, status, says", [
    (["--serial", "SN0006"], {}, 3, "   2     GetUnitInfo SN0006 at FT1  accepted  refused (5)"),
    ([], {"DISPLAY": ":9999"}, 6, "DISPLAY is set to ':9999', but no display can be opened there"),
    (["--opname", ""], {}, 1, "no operator name: the MES needs one"),
    (["--verdict", "MAYBE"], {}, 2, "invalid choice: 'MAYBE'"),
])
def test_main_sh_exit_status_says_how_the_session_ended(args, env, status, says):
    ended = script("main.sh", *args, env=env, unset=() if "DISPLAY" in env else ("DISPLAY",))
    assert ended.returncode == status, ended.stdout + ended.stderr
    assert says in ended.stdout + ended.stderr


@pytest.mark.real_only
@release_build_only
def test_main_sh_refuses_a_port_in_use_with_its_own_status():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        ended = script("main.sh", "--port", str(port), unset=("DISPLAY",))
    assert ended.returncode == 7, ended.stdout + ended.stderr
    assert "port %d is in use by another program" % port in ended.stderr


@pytest.mark.real_only
@release_build_only
def test_main_sh_keep_leaves_the_simulator_to_explore_until_stop(tmp_path):
    from pymssql import _mssql
    folder, port = str(tmp_path / "session"), free_port()
    kept = script("main.sh", "--keep", "--port", str(port), "--dir", folder, unset=("DISPLAY",))
    try:
        assert kept.returncode == 0, kept.stdout + kept.stderr
        assert "   tsql      tsql -H 127.0.0.1 -p %d -U mes -P mes -D MES" % port in kept.stdout
        # where the session ended: its upload is there, and its info.cfg
        conn = _mssql.connect(server="127.0.0.1:%d" % port, user="mes", password="mes", database="MES")
        try:
            conn.execute_query("SELECT employee, verdict FROM dbo.results WHERE serial = 'SN0001'")
            assert [(row["employee"], row["verdict"]) for row in conn] == [("张三", "PASS")]
        finally:
            conn.close()
        assert os.path.exists(os.path.join(folder, "station", "info.cfg"))
    finally:
        stopped = script("main.sh", "--stop", "--dir", folder)
    assert stopped.returncode == 0 and "stopping the MES simulator" in stopped.stdout
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
