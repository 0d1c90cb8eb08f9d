"""The reference pages: one per function, linked from the README, and their
examples give the output they show."""
import doctest
from pathlib import Path

import pytest

import ondulix

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("name", ondulix.__all__)
def test_reference_page_examples_run_as_shown(name):
    page = ROOT / "docs" / f"{name}.md"
    assert f"(docs/{name}.md)" in (ROOT / "README.md").read_text()
    text = page.read_text()
    assert text.startswith(f"# `ondulix.{name}`\n")

    test = doctest.DocTestParser().get_doctest(text, {}, page.name, str(page), 0)
    assert len(test.examples) >= 3
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
