"""Every code block of the documentation is run or checked, so that none
drifts from what the code does; and the README's picture of the dialog is
the dialog as it is now.

Blocks are read by the words after their opening fence (docs/testing.md):
`sh` and `python` blocks run as written, from the repository's root, against
a simulator started here with the demo data (the address 127.0.0.1:1433 they
name becomes its address); `sh no-run` blocks must name scripts, lanes and
options that exist, `python no-run` blocks must compile; every other block
is shown, not run, and a block must say which it is."""

import glob
import os
import re
import shlex
import subprocess

import pytest

from scripts_support import help_of, release_build_only
from support import ROOT

DOCUMENTS = ["README.md", "mes_simulator/README.md"] + sorted(
    os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, "docs", "*.md")))
RUNNABLE = ("sh", "python")


class Block:
    def __init__(self, document, line, info, text):
        self.document, self.line, self.text = document, line, text
        words = info.split()
        self.language = words[0] if words else ""
        self.flags = words[1:]

    @property
    def runs(self):
        return self.language in RUNNABLE and not self.flags

    def __repr__(self):
        return "%s:%d" % (self.document, self.line)


def blocks_of(document):
    with open(os.path.join(ROOT, document), encoding="utf-8") as f:
        lines = f.read().splitlines()
    found, start, info = [], None, None
    for number, line in enumerate(lines, 1):
        fence = re.match(r"^```(.*)$", line)
        if not fence:
            continue
        if start is None:
            start, info = number, fence.group(1).strip()
        else:
            found.append(Block(document, start, info, "\n".join(lines[start:number - 1]) + "\n"))
            start = None
    assert start is None, "%s:%d: a block that is never closed" % (document, start)
    return found


BLOCKS = [block for document in DOCUMENTS for block in blocks_of(document)]


def test_every_block_says_whether_it_runs():
    for block in BLOCKS:
        assert block.language, "%r: say what the block is (sh, python, text, ...)" % block
        assert block.flags in ([], ["no-run"]), "%r: unknown words %s" % (block, block.flags)
        if block.flags:
            assert block.language in RUNNABLE, "%r: only sh and python blocks run at all" % block
    # the convention is in use where it matters: the README runs its examples
    assert [b.language for b in BLOCKS if b.document == "README.md" and b.runs] == [
        "sh", "python", "sh", "python", "python"]


def test_documents_are_wrapped():
    for document in DOCUMENTS:
        if document.startswith("mes_simulator") or document in ("docs/performance.md",
                                                                "docs/robustness.md"):
            continue  # written to their own widths, tables wider
        with open(os.path.join(ROOT, document), encoding="utf-8") as f:
            for number, line in enumerate(f.read().splitlines(), 1):
                assert len(line) <= 100 or line.startswith("|"), "%s:%d is %d characters long" % (
                    document, number, len(line))


# ---------------------------------------------------------------- blocks that run

@pytest.fixture(scope="module")
def demo_mes():
    """A simulator with the demo data, as main.sh --keep leaves one."""
    from mes_simulator.testing import Simulator
    sim = Simulator()
    sim.start()
    yield sim
    sim.stop()
    sim.cleanup()


def as_run_here(text, sim):
    """The block with the documented address 127.0.0.1:1433 made the test simulator's."""
    text = re.sub(r"(?<=127\.0\.0\.1:)1433\b", str(sim.port), text)
    return re.sub(r"(?<=-p )1433\b", str(sim.port), text)


@pytest.mark.real_only
@release_build_only
@pytest.mark.parametrize("block", [b for b in BLOCKS if b.runs], ids=repr)
def test_example_runs_as_written(block, demo_mes):
    text = as_run_here(block.text, demo_mes)
    if block.language == "sh":
        command = ["/bin/bash", "-e", "-o", "pipefail", "-c", text]
    else:
        command = ["/usr/bin/python3", "-"]  # as pasted into the interpreter at the root
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    done = subprocess.run(command, cwd=ROOT, input=text if block.language == "python" else None,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          env=env, timeout=120)
    assert done.returncode == 0, "%r failed:\n%s%s" % (block, done.stdout, done.stderr)
    # an example that shows rows shows some on the demo data
    assert "Empty DataFrame" not in done.stdout and "[]" not in done.stdout.split(), done.stdout
    if "SELECT" in text and ("print" in text or "tsql" in text):
        units = re.findall(r"\bSN\d{4}\b", done.stdout)
        assert len(units) >= 2, "%r showed no rows of the demo units:\n%s" % (block, done.stdout)


@pytest.mark.real_only
@release_build_only
def test_the_readme_shows_the_summary_the_main_job_prints(tmp_path):
    """The README's picture of success is what a session with main.sh's
    demo values prints on fresh demo data."""
    from mes_simulator.testing import Simulator
    shown = [b for b in BLOCKS if b.document == "README.md" and b.text.startswith("== summary")]
    assert len(shown) == 1
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    with Simulator() as sim:
        done = subprocess.run(["/usr/bin/python3", "examples/station_session.py", "--server", sim.server,
                               "--workdir", str(tmp_path), "--product-type", "M4R-100", "--mrno",
                               "MR-2024-0815", "--opname", "张三", "--slot", "F1"],
                              cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, env=env, timeout=120)
    sim.cleanup()
    assert done.returncode == 0, done.stdout + done.stderr
    printed = done.stdout[done.stdout.index("== summary"):]
    assert printed == shown[0].text


# ---------------------------------------------------------------- blocks that do not run

def commands_of(text):
    """Each command of a shell block as words: continuation lines joined,
    comments and prompts dropped, optional [parts] opened."""
    text = re.sub(r"\\\n", " ", text)
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        for piece in re.split(r"\s*(?:;|&&|\|)\s*", line):
            words = shlex.split(piece.replace("[", " ").replace("]", " "), comments=True)
            if words:
                yield words


def lanes():
    listed = subprocess.run(["/bin/bash", "scripts/test.sh", "--list"], cwd=ROOT, stdout=subprocess.PIPE,
                            universal_newlines=True)
    return {line.split()[0] for line in listed.stdout.splitlines()}


@pytest.mark.parametrize("block", [b for b in BLOCKS if not b.runs and b.language in RUNNABLE], ids=repr)
def test_example_not_run_names_what_exists(block):
    if block.language == "python":
        compile(block.text, repr(block), "exec")
        return
    for words in commands_of(block.text):
        program = None
        for i, word in enumerate(words):
            if re.match(r"^(scripts|tests|bench|docs|examples)/[\w./-]+$", word):
                assert os.path.exists(os.path.join(ROOT, word)), "%r names %s, which does not exist" % (
                    block, word)
                if program is None and word.endswith((".sh", ".py")):
                    program, rest = word, words[i + 1:]
            if word == "-m" and words[i + 1:i + 2] == ["mes_simulator"]:
                program, rest = "mes_simulator", words[i + 2:]
        if program is None or program.startswith("tests/"):
            continue
        for word in rest:
            option = word.split("=", 1)[0]
            if option.startswith("--"):
                assert option in help_of(program), "%r: %s takes no %s" % (block, program, option)
        if program == "scripts/test.sh":
            for word in rest:
                if not word.startswith("-"):
                    assert word in lanes(), "%r: test.sh has no lane %s" % (block, word)


# ---------------------------------------------------------------- the dialog's picture

@pytest.mark.real_only
@release_build_only
def test_the_readme_picture_is_the_dialog_as_it_is_now(tmp_path, wx_app):
    import wx
    fresh = str(tmp_path / "dialog.png")
    made = subprocess.run(["/usr/bin/python3", "docs/make_screenshot.py", fresh], cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                          timeout=120)
    assert made.returncode == 0, made.stdout
    committed = wx.Image(os.path.join(ROOT, "docs", "dialog.png"))
    now = wx.Image(fresh)
    assert (now.GetWidth(), now.GetHeight()) == (committed.GetWidth(), committed.GetHeight()), (
        "the dialog's size changed: run docs/make_screenshot.py under Xvfb and commit docs/dialog.png")
    assert bytes(now.GetData()) == bytes(committed.GetData()), (
        "the dialog looks different now: run docs/make_screenshot.py under Xvfb and commit docs/dialog.png")
