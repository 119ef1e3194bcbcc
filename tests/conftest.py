import os

import pytest
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


# -- PostgreSQL ----------------------------------------------------------------------------
# Tests that need a server get one from the `pg` fixture: a throwaway cluster that
# tools/pgserver.py starts once per session (initdb into a temporary directory, a Unix
# socket there and 127.0.0.1 only, stopped at the end), or the server that QV_PG_URL
# names (a libpq URL whose user may create schemas). Each test works in schemas of its own.


class PgHelper:
    """A server for tests: ``url()`` gives a URL whose tables go to a fresh schema."""

    def __init__(self, server, admin_url):
        import itertools
        import uuid

        self.server = server  # None for a server given by QV_PG_URL
        self.admin_url = admin_url
        self._n = itertools.count()
        self._tag = uuid.uuid4().hex[:8]
        self.schemas = []
        # A role with a password, for the tests that go over TCP (our own server only).
        self.user, self.password = "qv_tester", "pw-" + uuid.uuid4().hex
        if server is not None:
            server.add_role(self.user, self.password)

    def schema(self):
        import psycopg

        name = f"qv_{self._tag}_{next(self._n)}"
        with psycopg.connect(self.admin_url, autocommit=True) as conn:
            conn.execute(f'CREATE SCHEMA "{name}"')
        self.schemas.append(name)
        return name

    def url(self, schema=None, base=None):
        import urllib.parse

        schema = schema or self.schema()
        base = base or self.admin_url
        sep = "&" if "?" in base else "?"
        return f"{base}{sep}options={urllib.parse.quote(f'-csearch_path={schema}', safe='')}"

    def tcp_url(self, schema=None, port=None, password=None):
        """Over 127.0.0.1 with a password (`port`: a relay's, instead of the server's)."""
        if self.server is None:
            pytest.skip("needs the tests' own server (QV_PG_URL is set)")
        base = (f"postgresql://{self.user}:{password or self.password}@127.0.0.1:"
                f"{port or self.server.port}/postgres?sslmode=disable")
        return self.url(schema, base)


def _tools():
    import pathlib
    import sys

    tools = str(pathlib.Path(__file__).resolve().parent.parent / "tools")
    if tools not in sys.path:
        sys.path.insert(0, tools)



@pytest.fixture(scope="session")
def pg():
    pytest.importorskip("psycopg")
    given = os.environ.get("QV_PG_URL")
    if given:
        helper = PgHelper(None, given)
        yield helper
        import psycopg

        with psycopg.connect(given, autocommit=True) as conn:
            for name in helper.schemas:
                conn.execute(f'DROP SCHEMA IF EXISTS "{name}" CASCADE')
        return
    _tools()
    from pgserver import Server

    server = Server()
    try:
        yield PgHelper(server, server.url())
    finally:
        server.close()
