"""The guard reference (docs/guards.md) runs: every ```pycon block in it, in order, as
one doctest, so the document cannot drift from what the module does."""

import doctest
import pathlib
import re

import pytest

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guards.md"
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.M | re.S)


def examples(text: str) -> str:
    # Lines outside the blocks become blank, so a failure names the line of the document.
    out = [""] * text.count("\n")
    for m in BLOCK.finditer(text):
        first = text.count("\n", 0, m.start(1))
        for i, line in enumerate(m.group(1).splitlines()):
            out[first + i] = line
    return "\n".join(out)


# doctest swaps sys.stdout while it runs, which threads running it at once would share.
@pytest.mark.thread_unsafe
def test_guard_reference_examples():
    text = DOC.read_text()
    test = doctest.DocTestParser().get_doctest(examples(text), {}, DOC.name, str(DOC), 0)
    assert len(test.examples) > 50 and len(BLOCK.findall(text)) == text.count("```pycon")
    report: list[str] = []
    runner = doctest.DocTestRunner()
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)
