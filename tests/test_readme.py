"""The README and docs/ as a user meets them: blocks run, commands parse, links lead somewhere."""
import os
import re
import runpy
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import BLANK_DISPLAY, child_env
from torqdash import parse_layout
from torqdash.app import parser as torqdash_parser
from torqdash.games import SOURCES
from torqsim.__main__ import parser as torqsim_parser

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUN = {"python", "sh", "toml"}
SHOWN = {"", "text", "bat", "c"}
NOT_RUN = re.compile(r"\s*<!-- not run: .+ -->\s*$")


def blocks(page):
    """(language, code, line number, marked not to run) of each fenced block."""
    text = page.read_text(encoding="utf-8")
    for fence in re.finditer(r"^([ \t]*)```(\S*)[ \t]*\n(.*?)^[ \t]*```[ \t]*$", text, re.M | re.S):
        before = text[:fence.start()].splitlines()
        code = "".join(line[len(fence[1]):] for line in fence[3].splitlines(keepends=True))
        yield fence[2], code, len(before) + 1, bool(before) and bool(NOT_RUN.match(before[-1]))


CASES = [pytest.param(language, code, id=f"{page.name}:{line}") for page in PAGES
         for language, code, line, marked in blocks(page) if language in RUN and not marked]


def test_every_block_is_closed_and_run_or_marked():
    found = [language for page in PAGES for language, _, _, _ in blocks(page)]
    assert set(found) <= RUN | SHOWN, "a fence language the README test does not know"
    # Every fence found; and the quick start, the test suite, the examples, the snapshot, the layout run.
    assert sum(page.read_text("utf-8").count("```") for page in PAGES) == 2 * len(found) and len(CASES) >= 5


@pytest.mark.parametrize("language, code", CASES)
def test_block_runs_as_written(tmp_path, language, code):
    if language == "toml":
        parse_layout(code)
        return
    # In a folder of the examples, a report.hex, and this interpreter as `python3` on PATH.
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    (tmp_path / "report.hex").write_text(BLANK_DISPLAY.hex() + "\n")
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "python3").symlink_to(sys.executable)
    # (pytest's plugins are left out: they only slow the block's own run down)
    env = child_env(PATH=f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}",
                    PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")
    if language == "sh":
        command = ["bash", "-e", "-o", "pipefail", "-c", code]
    elif "def test_" in code:
        (tmp_path / "test_block.py").write_text(code)
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_block.py"]
    else:
        (tmp_path / "block.py").write_text(code)
        command = [sys.executable, "-m", "torqsim", "run", "block.py"]
    result = subprocess.run(command, cwd=tmp_path, env=env, input="\n", capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stdout[-3000:] + result.stderr


def anchors(page):
    """The anchors GitHub gives the page's headings."""
    text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.+)$", text, re.M)}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_links_lead_somewhere(page):
    broken = []
    for target in re.findall(r"\]\((?![a-z]+://)([^)\s]+)\)", page.read_text(encoding="utf-8")):  # not URLs
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        broken += [target] if not linked.exists() or anchor and anchor not in anchors(linked) else []
    assert not broken


# Inline commands up to a pipe or the next command; one with "..." for its arguments names it.
COMMANDS = [pytest.param(span, id=span[:60]) for page in PAGES
            for span in re.findall(r"`(python3 -m torq(?:sim|dash) [^`]*)`", page.read_text(encoding="utf-8"))
            if "..." not in span]


@pytest.mark.parametrize("span", COMMANDS)
def test_inline_commands_parse(span):
    words = shlex.split(span)
    ends = [index for index, word in enumerate(words) if word in ("|", "||", "&&", ";", ">")]
    program, *args = words[2:ends[0] if ends else None]
    if program == "torqsim":
        options = torqsim_parser().parse_args(args)
        assert options.command != "run" or options.program
    else:
        assert torqdash_parser().parse_args(args).source in SOURCES


def test_virtual_info_prints_every_key_of_the_readme(capsys):
    table = re.search(r"(?s)The `get_device_info` keys(.*?)\n### ", PAGES[0].read_text(encoding="utf-8"))[1]
    keys = re.findall(r"^\| `([a-z ]+)` \|", table, re.M)
    runpy.run_path(str(ROOT / "examples" / "virtual_info.py"))  # (its run as a program: the README's block)
    printed = dict(re.findall(r"^ *([a-z ]+): (.*)$", capsys.readouterr().out, re.M))
    assert len(keys) == 20 and set(printed) - {"init", "last report"} == set(keys)
