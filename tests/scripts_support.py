"""What the tests of the scripts and of the documentation share: the --help
of our scripts and programs, asked the way a developer asks at the root."""

import glob
import os
import subprocess

import pytest

from support import ROOT

RELEASE_BUILD = os.path.join(ROOT, "build")

# The examples and main.sh use the release build in build/, in a plain
# interpreter: not in a lane that preloads the sanitizers or tests another
# build or the installed wheel.
release_build_only = pytest.mark.skipif(
    "LD_PRELOAD" in os.environ or os.environ.get("TESSAVOR_INSTALLED") == "1"
    or os.path.abspath(os.environ.get("TESSAVOR_BUILD", RELEASE_BUILD)) != RELEASE_BUILD,
    reason="needs the release build in build/ and a plain interpreter")

_helps = {}


def help_of(program):
    """The --help text of a script of ours (.sh), a Python program (tests/,
    bench/; they import the module first, so the release build answers) or
    the simulator (`mes_simulator`)."""
    if program not in _helps:
        if program.endswith(".sh"):
            command = ["/bin/bash", program, "--help"]
        elif program == "mes_simulator":
            command = ["/usr/bin/python3", "-m", "mes_simulator", "--help"]
        else:
            if not glob.glob(os.path.join(RELEASE_BUILD, "m4r_tessavor*.so")):
                pytest.skip("%s --help imports the module: build it (bash scripts/build.sh release)" % program)
            command = ["/usr/bin/python3", program, "--help"]
        env = {k: v for k, v in os.environ.items()
               if k not in ("TESSAVOR_INSTALLED", "TESSAVOR_STANDINS", "LD_PRELOAD", "PYTHONMALLOC")}
        env["TESSAVOR_BUILD"] = RELEASE_BUILD
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=60, env=env)
        assert done.returncode == 0, "%s --help failed:\n%s" % (program, done.stdout)
        _helps[program] = done.stdout
    return _helps[program]
