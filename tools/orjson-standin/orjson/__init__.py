"""Import-only stand-in for orjson (quorvalent's free-threaded test environment).

Importing works; using any name raises ImportError, so that code with its own fallback
(``from orjson import dumps`` inside ``try``) takes the fallback, and anything else
fails loudly instead of running on something that only looks like orjson.
"""


def __getattr__(name: str):
    if name.startswith("__"):
        raise AttributeError(name)
    raise ImportError(
        f"orjson.{name}: only a stand-in for orjson is installed here (it does not build "
        "for the free-threaded interpreter yet)"
    )
