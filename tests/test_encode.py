import collections
import enum
import os
import struct
import subprocess
import sys

import pytest

from quorvalent._core import dumps

DEPTH_MSG = ("value nests deeper than 128 levels (or is self-referential); the quorvalent "
             "msgpack codec rejects it to protect the native stack")
INT_MSG = "integer out of 64-bit range is not supported by the quorvalent codec"
TYPE_MSG = ("unsupported value type for the quorvalent msgpack codec (supported: None, bool, "
            "int, float, str, bytes, list, tuple, dict)")


def h(text):
    return bytes.fromhex(text)


INTS = [
    (0, "00"), (1, "01"), (127, "7f"),
    (128, "cc80"), (255, "ccff"),
    (256, "cd0100"), (65535, "cdffff"),
    (65536, "ce00010000"), (2**32 - 1, "ceffffffff"),
    (2**32, "cf0000000100000000"), (2**63 - 1, "cf7fffffffffffffff"),
    (2**63, "cf8000000000000000"), (2**64 - 1, "cfffffffffffffffff"),
    (-1, "ff"), (-32, "e0"),
    (-33, "d0df"), (-128, "d080"),
    (-129, "d1ff7f"), (-32768, "d18000"),
    (-32769, "d2ffff7fff"), (-2**31, "d280000000"),
    (-2**31 - 1, "d3ffffffff7fffffff"), (-2**63, "d38000000000000000"),
]


@pytest.mark.parametrize("value,enc", INTS)
def test_int_forms(value, enc):
    assert dumps(value) == h(enc)


@pytest.mark.parametrize("value", [2**64, -2**63 - 1, 2**200, -2**200])
def test_int_out_of_range(value):
    with pytest.raises(ValueError) as ei:
        dumps(value)
    assert str(ei.value) == INT_MSG


@pytest.mark.parametrize("value,enc", [(None, "c0"), (False, "c2"), (True, "c3")])
def test_constants(value, enc):
    assert dumps(value) == h(enc)


@pytest.mark.parametrize("bits", [
    0x3FF0000000000000,  # 1.0
    0x8000000000000000,  # -0.0
    0x0000000000000000,
    0x7FF0000000000000,  # inf
    0xFFF0000000000000,  # -inf
    0x7FF8000000000000,  # quiet NaN
    0x7FF8000000000123,  # NaN with payload
    0xFFF8DEADBEEF0001,  # negative NaN with payload
    0x0000000000000001,  # smallest subnormal
    0x3FF8000000000000,  # 1.5: would fit float 32, still float 64
])
def test_float_bits(bits):
    (value,) = struct.unpack(">d", bits.to_bytes(8, "big"))
    assert dumps(value) == b"\xcb" + bits.to_bytes(8, "big")


def _str_header(n):
    if n < 32:
        return bytes([0xA0 | n])
    if n < 256:
        return b"\xd9" + bytes([n])
    if n < 65536:
        return b"\xda" + n.to_bytes(2, "big")
    return b"\xdb" + n.to_bytes(4, "big")


LENGTHS = [0, 1, 15, 16, 31, 32, 255, 256, 65535, 65536]


@pytest.mark.parametrize("n", LENGTHS)
def test_str_lengths(n):
    s = "x" * n
    assert dumps(s) == _str_header(n) + s.encode()


@pytest.mark.parametrize("s", ["é", "€" * 11, "😀" * 8, "a€😀" * 40, "é" * 40000, "x" * 5000 + "😀"])
def test_str_length_counts_utf8_bytes(s):
    b = s.encode()
    assert dumps(s) == _str_header(len(b)) + b


@pytest.mark.parametrize("n", LENGTHS)
def test_bytes_lengths(n):
    b = bytes(range(256)) * (n // 256) + bytes(n % 256)
    if n < 256:
        head = b"\xc4" + bytes([n])
    elif n < 65536:
        head = b"\xc5" + n.to_bytes(2, "big")
    else:
        head = b"\xc6" + n.to_bytes(4, "big")
    assert dumps(b) == head + b


@pytest.mark.parametrize("n", LENGTHS)
def test_array_lengths(n):
    head = bytes([0x90 | n]) if n < 16 else (b"\xdc" + n.to_bytes(2, "big") if n < 65536
                                              else b"\xdd" + n.to_bytes(4, "big"))
    assert dumps([None] * n) == head + b"\xc0" * n
    assert dumps((None,) * n) == head + b"\xc0" * n


@pytest.mark.parametrize("n", LENGTHS)
def test_map_lengths(n):
    head = bytes([0x80 | n]) if n < 16 else (b"\xde" + n.to_bytes(2, "big") if n < 65536
                                              else b"\xdf" + n.to_bytes(4, "big"))
    d = {i: None for i in range(n)}
    assert dumps(d) == head + b"".join(dumps(i) + b"\xc0" for i in range(n))


@pytest.mark.parametrize("value,enc", [
    ({1: None}, "8101c0"),
    ({(1, 2): 3}, "81920102" "03"),
    ({"b": 1, "a": 2}, "82a16201a16102"),
    ({None: True, 1.0: b"", False: []}, "83c0c3cb3ff0000000000000c400c290"),
    ([[], {}, ()], "93908090"),
])
def test_containers(value, enc):
    assert dumps(value) == h(enc)


class Color(enum.IntEnum):
    RED = 300


class MyStr(str):
    pass


class MyFloat(float):
    def __float__(self):
        raise AssertionError("not consulted")


class MyBytes(bytes):
    pass


class MyInt(int):
    def __index__(self):
        raise AssertionError("not consulted")

    __int__ = __index__


class MyList(list):
    pass


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize("value,expected", [
    (Color.RED, 300),
    (MyInt(-5), -5),
    (MyInt(2**64 - 1), 2**64 - 1),
    (MyStr("hé"), "hé"),
    (MyFloat(2.5), 2.5),
    (MyBytes(b"ab"), b"ab"),
    (MyList([1, 2]), [1, 2]),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}),
    (collections.defaultdict(int, {1: 2}), {1: 2}),
    (Point(1, 2), [1, 2]),
])
def test_subclasses_encode_as_base(value, expected):
    assert dumps(value) == dumps(expected)


def _nest(kind, levels, inner):
    v = inner
    for _ in range(levels):
        v = {"list": lambda x: [x], "tuple": lambda x: (x,), "dict": lambda x: {"k": x}}[kind](v)
    return v


@pytest.mark.parametrize("kind", ["list", "tuple", "dict"])
@pytest.mark.parametrize("inner", [None, 7, "s", b"", [], {}])
def test_depth_128_encodes(kind, inner):
    assert dumps(_nest(kind, 128, inner)).endswith(dumps(inner))


@pytest.mark.parametrize("kind", ["list", "tuple", "dict"])
@pytest.mark.parametrize("levels,inner", [(129, None), (129, 7), (129, []), (128, [1]), (128, {1: 2}),
                                          (128, {"k": None}), (300, None)])
def test_depth_129_fails(kind, levels, inner):
    with pytest.raises(ValueError) as ei:
        dumps(_nest(kind, levels, inner))
    assert str(ei.value) == DEPTH_MSG


def test_self_referential():
    lst = []
    lst.append(lst)
    d = {}
    d["self"] = d
    mixed = {"a": [1]}
    mixed["a"].append(mixed)
    for v in (lst, d, mixed):
        with pytest.raises(ValueError) as ei:
            dumps(v)
        assert str(ei.value) == DEPTH_MSG


@pytest.mark.parametrize("value", [
    bytearray(b"x"), memoryview(b"x"), {1, 2}, frozenset(), 1j, object(), type,
    __import__("decimal").Decimal(1), __import__("datetime").date(2020, 1, 1),
    {"k": {1, 2}}, [1, 2, [3, bytearray()]], ({"a": object()},), {(1, frozenset()): 1},
])
def test_unsupported_types(value):
    with pytest.raises(TypeError) as ei:
        dumps(value)
    assert type(ei.value) is TypeError
    assert str(ei.value) == TYPE_MSG


def test_first_error_in_walk_order():
    # A key's error comes before its value's; left before right.
    with pytest.raises(TypeError):
        dumps({object(): 2**64})
    with pytest.raises(ValueError) as ei:
        dumps({2**64: object()})
    assert str(ei.value) == INT_MSG
    with pytest.raises(ValueError):
        dumps([2**64, object()])


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
    # A buffer kept per finished thread adds about 67 MiB per batch of 100.
    assert sizes[-1] - sizes[0] < 16 << 20, sizes
