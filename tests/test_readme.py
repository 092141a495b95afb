"""The README as a test: its examples run, and what it points to exists.

Every fenced ```python block with `>>>` prompts is a doctest. The blocks run
in order in one namespace, as a reader follows them in one session; each
example keeps its README line number, so a failure names the line to fix.
"""

import doctest
import re
import traceback
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\s*$")


def fenced_blocks():
    """(language, first line number, lines) of every fenced block."""
    blocks, current = [], None
    for number, line in enumerate(README.read_text(encoding="utf-8").splitlines(), 1):
        match = FENCE.match(line)
        if current is None and match:
            current = (match.group(1), number + 1, [])
        elif current is not None and line.startswith("```"):
            blocks.append(current)
            current = None
        elif current is not None:
            current[2].append(line)
    assert current is None, "a fenced block in the README is not closed"
    return blocks


def doctest_text():
    """The README's python blocks, each at its own line, prose blanked out."""
    lines = README.read_text(encoding="utf-8").splitlines()
    text = [""] * len(lines)
    for lang, first, body in fenced_blocks():
        if lang == "python":
            text[first - 1 : first - 1 + len(body)] = body
    return "\n".join(text) + "\n"


def whole_exception_only(exc_type, exc_value):
    return ["".join(traceback.format_exception_only(exc_type, exc_value))]


def test_readme_examples_run_as_written(monkeypatch):
    # doctest before 3.11.4 (Debian's debug interpreter among them) compares
    # only the last line of an exception, which with notes is the last note.
    shim = types.ModuleType("traceback")
    shim.__dict__.update(traceback.__dict__)
    shim.format_exception_only = whole_exception_only
    monkeypatch.setattr(doctest, "traceback", shim)
    parser = doctest.DocTestParser()
    test = parser.get_doctest(doctest_text(), {"__name__": "readme"}, "README.md", str(README), 0)
    assert len(test.examples) > 100, "the README lost its examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_every_python_block_is_executed():
    # A ```python block without prompts would be shown but never run.
    for lang, first, body in fenced_blocks():
        if lang == "python":
            assert any(line.startswith(">>> ") for line in body), f"README line {first}"
            assert body[-1] == "", f"README line {first}: end the block with a blank line"


def test_newcomer_commands_point_at_real_things():
    blocks = fenced_blocks()
    sh = [line for lang, _, body in blocks if lang == "sh" for line in body]
    assert sh[0].startswith("pip install . && python examples/tour.py")
    assert sh[1].startswith('pip install ".[test]" && python -m pytest')
    assert (ROOT / "examples" / "tour.py").is_file()
    assert re.search(r"^test = \[", (ROOT / "pyproject.toml").read_text(), re.M)


def test_contents_links_name_real_headings():
    text = README.read_text(encoding="utf-8")
    anchors = set()
    for heading in re.findall(r"^#+ (.+)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        anchors.add(slug)
    links = re.findall(r"\]\(#([^)]+)\)", text)
    assert links
    assert [link for link in links if link not in anchors] == []


def test_layout_lists_existing_files():
    text = README.read_text(encoding="utf-8")
    section = text.split("## Layout", 1)[1].split("\n## ", 1)[0]
    paths = re.findall(r"^- `([^`]+)`", section, re.M)
    assert paths
    assert [p for p in paths if not (ROOT / p).exists()] == []


def test_every_class_body_option_is_shown_in_an_example():
    examples = "\n".join("\n".join(body) for lang, _, body in fenced_blocks() if lang == "python")
    for name in ("__ordo_numor__", "__ordo_numor_key__", "__ordo_numor_reverse__", "__numoer_nominis__"):
        assert re.search(rf"^\.\.\.\s+{name} = ", examples, re.M), name
