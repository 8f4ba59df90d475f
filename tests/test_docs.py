"""The documentation's examples run: the README guide as one session, and
the examples in the extension's docstrings as doctests."""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"

_PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def readme_blocks() -> list[tuple[int, str]]:
    """The README's ```python blocks with the line number where each starts."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in _PYTHON_BLOCK.finditer(text)]


def test_readme_guide_runs(tmp_path, monkeypatch, capsys):
    blocks = readme_blocks()
    assert len(blocks) >= 10, "the guide's examples were not found"
    monkeypatch.chdir(tmp_path)
    session: dict[str, object] = {"__name__": "readme"}
    for line, source in blocks:
        # Padding with blank lines makes a traceback point at the README line.
        code = compile("\n" * (line - 1) + source, str(README), "exec")
        exec(code, session)
    capsys.readouterr()


def test_docstring_examples(jxl):
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    tests = finder.find(jxl, globs=dict(vars(jxl)))
    for test in tests:
        runner.run(test, out=lambda text: pytest.fail(text, pytrace=False))
    # Every public class and function, and the module, shows an example.
    with_examples = {t.name.rsplit(".", 1)[-1] for t in tests if t.examples}
    assert {"_jxl", "JxlReader", "JxlWriter", "decode", "encode", "frame_count",
            "read", "iter_frames", "write_frame"} <= with_examples
