"""Helpers of the robustness tests and benches (a module of its own name:
tests/ has a conftest and a support module too).

Importing it puts the repository root, tests/ and the build on sys.path,
the way tests/support.py does, so that scripts run as subprocesses find the
module, the simulator and the stand-ins.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)

import support  # noqa: E402  (puts the root and the build on sys.path)

ROOT = support.ROOT
STANDIN_MODE = support.STANDIN_MODE

# Hypothesis profiles: "ci" (the default) keeps the folder well under a
# minute; "long" is a fuzzing run. No example database is written, so that
# the repository stays clean; a failure prints the blob that reproduces it.
PROFILES = {"ci": 200, "long": 20000}


def load_hypothesis_profile():
    """Registers the profiles and loads the one HYPOTHESIS_PROFILE names."""
    from hypothesis import HealthCheck, settings
    for name, count in PROFILES.items():
        settings.register_profile(name, max_examples=count, deadline=None, database=None, print_blob=True,
                                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                         HealthCheck.filter_too_much])
    name = os.environ.get("HYPOTHESIS_PROFILE", "ci")
    if name not in PROFILES:
        raise RuntimeError("HYPOTHESIS_PROFILE must be one of %s, not %r" % (sorted(PROFILES), name))
    settings.load_profile(name)
    return name


def examples(share):
    """Settings for a property that runs `share` of the profile's number of
    examples (slower properties run fewer)."""
    from hypothesis import settings
    return settings(max_examples=max(10, int(settings.default.max_examples * share)))


# The public callables of the module and their parameters (tests/support.py).
FUNCTIONS = support.FUNCTIONS
METHODS = {cls_name: [(m, params) for m, params in members if params is not None]
           for cls_name, members in support.MEMBERS.items()}
callables = support.callables

NONE_MESSAGE = "MES 系统返回“None”数据，默认为 SUCCESS"
INVALID = "MES Query Feedback Format Invalid"
LOG_PREFIX = "TVR MES GetUnitInfo: "

CONNECT_FAILED = "SQLError: Connect to Database Server Failed: "
QUERY_FAILED = "SQLError: uspGetUnitInfo Failed: "
UPLOAD_FAILED = "SQLError: uspSaveResult Failed: "


def fd_kinds():
    """The open file descriptors of this process by kind: 'socket',
    'anon_inode' (eventfd, epoll), 'pipe', 'file', ..."""
    kinds = {}
    folder = "/proc/self/fd"
    for name in os.listdir(folder):
        try:
            target = os.readlink(os.path.join(folder, name))
        except FileNotFoundError:  # the descriptor listdir itself used
            continue
        kind = "file" if target.startswith("/") else target.split(":", 1)[0]
        kinds[kind] = kinds.get(kind, 0) + 1
    return kinds


def rss_kib():
    """Resident set size of this process in KiB (VmRSS)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


class Discard:
    """A standard output or error that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass
