import collections
import enum
import os
import struct
import subprocess
import sys

import pytest

from quorvalent._core import dumps, loads

DEPTH_MSG = ("value nests deeper than 128 levels (or is self-referential); the quorvalent "
             "msgpack codec rejects it to protect the native stack")
INT_MSG = "integer out of 64-bit range is not supported by the quorvalent codec"
TYPE_MSG = ("unsupported value type for the quorvalent msgpack codec (supported: None, bool, "
            "int, float, str, bytes, list, tuple, dict)")


def h(text):
    return bytes.fromhex(text)


def error(value):
    with pytest.raises((TypeError, ValueError)) as ei:
        dumps(value)
    return type(ei.value), str(ei.value)


@pytest.mark.parametrize("value", [2**64, -2**63 - 1, 2**200, -2**200])
def test_int_out_of_range(value):
    assert error(value) == (ValueError, INT_MSG)


def test_float_bits_kept_both_ways():
    # -0.0, NaN payloads, the smallest subnormal; 1.5 would fit float 32 but stays float 64.
    for bits in (0x8000000000000000, 0x7FF8000000000123, 0xFFF8DEADBEEF0001, 1, 0x3FF8000000000000):
        b = bits.to_bytes(8, "big")
        assert dumps(struct.unpack(">d", b)[0]) == b"\xcb" + b
        assert struct.pack(">d", loads(b"\xcb" + b)) == b


def _header(n, fix, fix_max, tags):
    """The fix form below fix_max if there is one, else the 8/16/32-bit length forms."""
    if fix is not None and n < fix_max:
        return bytes([fix | n])
    for tag, size in zip(tags, (1, 2, 4)):
        if tag is not None and n < 1 << (8 * size):
            return bytes([tag]) + n.to_bytes(size, "big")


STR = (0xA0, 32, (0xD9, 0xDA, 0xDB))


@pytest.mark.parametrize("n", [0, 1, 15, 16, 31, 32, 255, 256, 65535, 65536])
def test_lengths(n):
    s, b = "x" * n, bytes(range(256)) * (n // 256) + bytes(n % 256)
    assert dumps(s) == _header(n, *STR) + s.encode()
    assert dumps(b) == _header(n, None, 0, (0xC4, 0xC5, 0xC6)) + b
    head = _header(n, 0x90, 16, (None, 0xDC, 0xDD))
    assert dumps([None] * n) == head + b"\xc0" * n == dumps((None,) * n)
    head = _header(n, 0x80, 16, (None, 0xDE, 0xDF))
    assert dumps(dict.fromkeys(range(n))) == head + b"".join(dumps(i) + b"\xc0" for i in range(n))


@pytest.mark.parametrize("s", ["é", "€" * 11, "😀" * 8, "a€😀" * 40, "é" * 40000, "x" * 5000 + "😀"])
def test_str_length_counts_utf8_bytes(s):
    b = s.encode()
    assert dumps(s) == _header(len(b), *STR) + b


@pytest.mark.parametrize("value,enc", [({(1, 2): 3}, "81920102" "03"), ([[], {}, ()], "93908090"),
                                       ({None: True, 1.0: b"", False: []}, "83c0c3cb3ff0000000000000c400c290")])
def test_containers(value, enc):
    assert dumps(value) == h(enc)


class Color(enum.IntEnum):
    RED = 300


class MyFloat(float):
    def __float__(self):
        raise AssertionError("not consulted")


class MyInt(int):
    def __index__(self):
        raise AssertionError("not consulted")

    __int__ = __index__


MyStr, MyBytes, MyList = (type("My" + t.__name__, (t,), {}) for t in (str, bytes, list))
Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize("value,expected", [
    (Color.RED, 300), (MyInt(-5), -5), (MyInt(2**64 - 1), 2**64 - 1), (MyStr("hé"), "hé"),
    (MyFloat(2.5), 2.5), (MyBytes(b"ab"), b"ab"), (MyList([1, 2]), [1, 2]), (Point(1, 2), [1, 2]),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}), (collections.defaultdict(int, {1: 2}), {1: 2})])
def test_subclasses_encode_as_base(value, expected):
    assert dumps(value) == dumps(expected)


def _nest(kind, levels, inner):
    v = inner
    for _ in range(levels):
        v = {"list": lambda x: [x], "tuple": lambda x: (x,), "dict": lambda x: {"k": x}}[kind](v)
    return v


@pytest.mark.parametrize("kind", ["list", "tuple", "dict"])
def test_depth_128_encodes_129_fails(kind):
    for inner in (None, 7, "s", b"", [], {}):
        assert dumps(_nest(kind, 128, inner)).endswith(dumps(inner))
    for levels, inner in [(129, None), (129, 7), (129, []), (128, [1]), (128, {1: 2}), (128, {"k": None}),
                          (300, None)]:
        assert error(_nest(kind, levels, inner)) == (ValueError, DEPTH_MSG), (levels, inner)


def test_self_referential():
    lst, d, mixed = [], {}, {"a": [1]}
    lst.append(lst)
    d["self"] = d
    mixed["a"].append(mixed)
    for v in (lst, d, mixed):
        assert error(v) == (ValueError, DEPTH_MSG)


@pytest.mark.parametrize("value", [
    bytearray(b"x"), memoryview(b"x"), {1, 2}, frozenset(), 1j, object(), type,
    __import__("decimal").Decimal(1), __import__("datetime").date(2020, 1, 1),
    {"k": {1, 2}}, [1, 2, [3, bytearray()]], ({"a": object()},), {(1, frozenset()): 1},
])
def test_unsupported_types(value):
    assert error(value) == (TypeError, TYPE_MSG)


def test_first_error_in_walk_order():
    # A key's error comes before its value's; left before right.
    assert error({object(): 2**64})[0] is TypeError
    assert error({2**64: object()}) == (ValueError, INT_MSG)
    assert error([2**64, object()])[0] is ValueError


@pytest.mark.parametrize("value", ["\ud800", "a\udfff", "x" * 5000 + "\ud800", ["ok", {"k": "\udc80"}], MyStr("\ud800")])
def test_lone_surrogate(value):
    with pytest.raises(UnicodeEncodeError):
        dumps(value)


def test_errors_leave_no_state_behind():
    # The per-thread buffer is reused: a failed call must not leak bytes into the next.
    with pytest.raises(TypeError):
        dumps(["x" * 1000, object()])
    assert dumps([1]) == b"\x91\x01"
    assert dumps(b"y" * 3_000_000)[:5] == b"\xc6\x00\x2d\xc6\xc0"
    assert dumps("z") == b"\xa1z"


# Threads that each encode one large value and exit; RSS is read after every batch. The
# first batch warms the allocator up; later batches must not add a buffer per thread.
THREAD_EXIT_SCRIPT = """
import os, sys, threading
from quorvalent._core import dumps
value = ["x" * 1000] * 670  # about 670 KB encoded
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
sizes = []
for _ in range(5):
    for _ in range(10):
        threads = [threading.Thread(target=dumps, args=(value,)) for _ in range(10)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    sizes.append(rss())
print(*sizes)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_thread_exit_frees_the_encoding_buffer():
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:  # the sanitizer's quarantine holds freed blocks back on purpose
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    out = subprocess.run([sys.executable, "-c", THREAD_EXIT_SCRIPT], env=env, check=True,
                         capture_output=True, text=True).stdout
    sizes = [int(x) for x in out.split()]
    # A buffer kept per finished thread adds about 67 MiB per batch of 100, so 268 MiB by
    # the last batch. The free-threaded build's allocator keeps a finished thread's pages
    # for a while before it reuses or returns them: up to about 20 MiB here, then less.
    assert sizes[-1] - sizes[0] < 48 << 20, sizes
