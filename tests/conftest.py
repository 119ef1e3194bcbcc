import os

from hypothesis import settings

# No example database: runs leave nothing behind in the tree.
settings.register_profile("default", database=None)
# Leak hunting repeats every test; the same examples each time keep the counts comparable.
settings.register_profile("refleak", database=None, derandomize=True, max_examples=30)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running; left out of CI's leak-hunting pass")
    config.addinivalue_line("markers", "no_refleak(reason): cannot be measured by leak hunting")


def pytest_collection_modifyitems(config, items):
    import pytest

    for item in items:
        func = getattr(item, "function", None)
        if "thread" in item.module.__name__ or getattr(func, "is_hypothesis_test", False):
            item.add_marker(pytest.mark.slow)


def pytest_terminal_summary(terminalreporter):
    # `make test` asks for the suite's size next to the code's; the pass/fail line stays last.
    if os.environ.get("QV_TEST_RATIO"):
        import pathlib
        import subprocess
        import sys

        script = pathlib.Path(__file__).resolve().parent.parent / "tools" / "test_ratio.py"
        out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
        terminalreporter.write_line((out.stdout or out.stderr).strip())
