"""A short load run (bench/robustness/load.py): two processes of four
station threads each call GetUnitInfo and SaveResult against one MES
simulator for TESSAVOR_LOAD_SECONDS (default 20); every answer is right
every upload is in the results table exactly once, in order, and every
connection is closed."""

import json
import os
import subprocess
import sys

import pytest

from robustness_support import ROOT, STANDIN_MODE

pytestmark = pytest.mark.skipif(STANDIN_MODE, reason="needs the real driver and the MES simulator")

SECONDS = os.environ.get("TESSAVOR_LOAD_SECONDS", "20")


def test_concurrent_stations_lose_and_double_nothing():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "robustness", "load.py"),
                           "--seconds", SECONDS, "--processes", "2", "--threads", "4", "--json"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=float(SECONDS) + 600)
    assert done.returncode == 0, done.stdout + done.stderr
    summary = json.loads(done.stdout.splitlines()[-1])
    assert summary["errors"] == 0
    assert summary["SaveResult"] > 0 and summary["GetUnitInfo"] > 0
    assert summary["uploads_recorded"] == summary["uploads_made"] == summary["SaveResult"]
    assert summary["missing"] == summary["doubled"] == summary["out_of_order"] == 0
    assert summary["left_open_by_module"] == 0 and summary["sockets_at_end"] == 0
    assert summary["server_exit"] == 0
