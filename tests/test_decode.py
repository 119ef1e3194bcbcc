import functools
import struct
import subprocess
import sys
import threading

import pytest

from quorvalent._core import dumps, loads

END = "msgpack decode error: unexpected end of input"
EXT = "msgpack extension types are not supported by the quorvalent codec"
DEPTH_MSG = ("value nests deeper than 128 levels (or is self-referential); the quorvalent "
             "msgpack codec rejects it to protect the native stack")


def h(text):
    return bytes.fromhex(text)


PEAK = """if True:
    import sys, tracemalloc
    from quorvalent._core import loads
    data = bytes.fromhex(sys.stdin.read())
    tracemalloc.start()
    try:
        loads(data)
    except ValueError as e:
        print(tracemalloc.get_traced_memory()[1], e, sep="\\n")
"""


def peak_while_failing(data):
    # tracemalloc's peak is the whole process's: measured in a fresh interpreter, so that
    # the other threads of a parallel run add nothing to it.
    run = subprocess.run([sys.executable, "-c", PEAK], input=data.hex(), check=True,
                         capture_output=True, text=True)
    peak, message = run.stdout.rstrip("\n").split("\n", 1)
    return message, int(peak)


def value_error(data):
    with pytest.raises(ValueError) as ei:
        loads(data)
    assert type(ei.value) is ValueError
    return str(ei.value)


@pytest.mark.parametrize("enc,value", [
    ("00", 0), ("7f", 127), ("ff", -1), ("e0", -32),
    ("c0", None), ("c2", False), ("c3", True),
    ("cc00", 0), ("ccff", 255), ("cd0005", 5), ("cdffff", 65535),
    ("ce00000001", 1), ("ceffffffff", 2**32 - 1),
    ("cf0000000000000000", 0), ("cfffffffffffffffff", 2**64 - 1),
    ("d001", 1), ("d0ff", -1), ("d080", -128),
    ("d10001", 1), ("d18000", -32768), ("d2ffffffff", -1), ("d280000000", -2**31),
    ("d3ffffffffffffffff", -1), ("d38000000000000000", -2**63), ("d37fffffffffffffff", 2**63 - 1),
    ("ca3f800000", 1.0), ("ca3fc00000", 1.5), ("cabf800000", -1.0),
    ("cb3ff0000000000000", 1.0),
    ("a0", ""), ("a2c3a9", "é"), ("d900", ""), ("d903616263", "abc"), ("da0001 61", "a"),
    ("db00000001 61", "a"), ("c400", b""), ("c50001 00", b"\x00"), ("c600000002 0102", b"\x01\x02"),
    ("90", []), ("dc0000", []), ("dc0001 c0", [None]), ("dd00000002 0102", [1, 2]),
    ("80", {}), ("de0000", {}), ("de0001 01 02", {1: 2}), ("df00000001 a16b c3", {"k": True}),
    ("9f" + "01" * 15, [1] * 15), ("8f" + "".join(f"{i:02x}c0" for i in range(15)),
                                    dict.fromkeys(range(15))),
    ("81 c0 c0", {None: None}), ("81 cb3ff0000000000000 01", {1.0: 1}),
    ("81 a2ffff 01", {b"\xff\xff": 1}),
])
def test_markers(enc, value):
    out = loads(h(enc.replace(" ", "")))
    assert out == value
    assert type(out) is type(value)
    # Elements of a container take a shorter path for the common forms.
    (inner,) = loads(h("91" + enc.replace(" ", "")))
    assert inner == value and type(inner) is type(value)


@pytest.mark.parametrize("bits", [0x7FC00001, 0xFF800000, 0x7F800000, 0x80000000, 0x00000001])
def test_float32_widens_exactly(bits):
    b = bits.to_bytes(4, "big")
    assert struct.pack(">d", loads(b"\xca" + b)) == struct.pack(">d", struct.unpack(">f", b)[0])


@pytest.mark.parametrize("payload", [
    b"\xff\xfe", b"\x80", b"a\xc3",  # stray, truncated
    b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf",  # overlong
    b"\xed\xa0\x80", b"\xed\xbf\xbf",  # surrogates
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",  # above U+10FFFF
    b"\xe2\x82", b"ok\xf0\x9f\x98",  # truncated sequences
])
def test_invalid_utf8_string_becomes_bytes(payload):
    out = loads(bytes([0xA0 | len(payload)]) + payload)
    assert type(out) is bytes and out == payload
    long = payload * 20
    assert loads(b"\xd9" + bytes([len(long)]) + long) == long


def test_one_stray_byte_anywhere_makes_bytes_as_value_and_as_key():
    # Short runs are checked with overlapping loads: every position of every length counts.
    for n in range(1, 26):
        for pos in range(n):
            raw = b"a" * pos + b"\xff" + b"a" * (n - pos - 1)
            s = bytes([0xA0 | n]) + raw
            assert loads(s) == raw and loads(b"\x81" + s + b"\xc0") == {raw: None}, (n, pos)


def test_cached_keys_never_stand_in_for_lookalikes():
    # Keys one character apart share most of their bytes and, by the hundred, the cache's sets.
    for n in range(1, 25):
        keys = {"k" * n}
        for pos in range(n):
            keys.update("k" * pos + c + "k" * (n - pos - 1) for c in "abcdefghij0123456789")
        records = [{k: i} for i, k in enumerate(sorted(keys))]
        assert loads(dumps(records)) == records, n


@pytest.mark.parametrize("text", ["\x7f", "\u0080", "\u07ff", "\u0800", "\uffff", "\U00010000",
                                  "\U0010ffff", "\ud7ff\ue000", "é" * 100])
def test_valid_utf8_edges(text):
    assert loads(dumps(text)) == text


def test_reserved_and_extensions():
    assert value_error(b"\xc1") == "msgpack decode error: reserved marker 0xc1"
    assert value_error(b"\x91\xc1") == "msgpack decode error: reserved marker 0xc1"


@pytest.mark.parametrize("marker", [0xC7, 0xC8, 0xC9, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8])
def test_extension_markers_rejected_without_reading(marker):
    # Nothing follows the marker: the error is still about extensions, not truncation.
    assert value_error(bytes([marker])) == EXT
    assert value_error(bytes([0x92, 0x01, marker, 0x00, 0x05])) == EXT


def test_trailing_bytes_ignored():
    assert loads(h("0102")) == 1
    assert loads(h("90c1c1")) == []
    assert loads(dumps({"a": [1]}) + b"\xc1") == {"a": [1]}


def test_duplicate_keys_later_wins_first_position():
    out = loads(h("83 a161 01 a162 02 a161 03".replace(" ", "")))
    assert out == {"a": 3, "b": 2} and list(out) == ["a", "b"]


@pytest.mark.parametrize("enc", ["8190 01", "8180 01", "81 9101 01", "82 01 01 90 01"])
def test_unhashable_keys(enc):
    with pytest.raises(TypeError, match="unhashable"):
        loads(h(enc.replace(" ", "")))


VALID = [
    dumps(None), dumps(2**64 - 1), dumps(-2**63), dumps(1.5), dumps(-300), dumps(70000),
    dumps("x" * 40), dumps("é" * 200), dumps(b"b" * 300), dumps(list(range(20))),
    dumps({"a": [1, {"b": b"c"}], "d": None, 5: -1.0}), dumps({str(i): i for i in range(17)}),
    h("ca3f800000"), h("db00000002 6162".replace(" ", "")), h("c600000001 00".replace(" ", "")),
]


@pytest.mark.parametrize("enc", VALID, ids=range(len(VALID)))
def test_truncation_at_every_position(enc):
    loads(enc)
    for cut in range(len(enc)):
        assert value_error(enc[:cut]) == END


@pytest.mark.parametrize("enc", [
    "ddffffffff", "dfffffffff", "dbffffffff", "c6ffffffff", "dcffff", "deffff", "daffff",
    "c5ffff", "ddffffffff 90", "ddffffffff ddffffffff ddffffffff",
    "dfffffffff a161 dfffffffff", "91 dbfffffffe 61",
])
def test_forged_counts_fail_fast(enc):
    message, peak = peak_while_failing(h(enc.replace(" ", "")))
    assert message == END and peak < 1 << 20


@pytest.mark.parametrize("level", [b"\xdd\x00\x01\x00\x00", b"\xdf\x00\x00\x80\x00\xc0"],
                         ids=["list", "map"])
def test_nested_forged_counts_reserve_only_what_the_input_backs(level):
    # Every level claims the whole remaining input; together they must not reserve more.
    # The outer list owes a little, so that a level that forgot its own claim shows.
    data = b"\xdd\x00\x00\x00\x80" + level * 127 + b"\xc1" * (1 << 16)
    message, peak = peak_while_failing(data)
    assert message == "msgpack decode error: reserved marker 0xc1"
    assert peak < 32 * len(data), peak  # one full level, with room to spare


def test_forged_count_with_many_tiny_elements():
    # 0x90 elements are one byte each: memory stays proportional to the input.
    data = b"\xdd\xff\xff\xff\xff" + b"\x90" * 100_000
    assert value_error(data) == END


def test_depth_limit():
    assert loads(b"\x91" * 128 + b"\xc0") == functools.reduce(lambda v, _: [v], range(128), None)
    assert loads(b"\x81\xc0" * 128 + b"\x07") == functools.reduce(lambda v, _: {None: v}, range(128), 7)
    for data in (b"\x91" * 129 + b"\xc0", b"\x81\xc0" * 129 + b"\xc0", b"\x91" * 128 + b"\x91\xc0",
                 b"\x91" * 129, b"\x81\xc0" * 128 + b"\x81\xc0\xc0", b"\x91" * 500):
        assert value_error(data) == DEPTH_MSG
    assert loads(b"\x91" * 128 + b"\x90") is not None
    assert loads(b"\x91" * 128 + b"\x80") is not None
    # A map key at depth 129 fails before anything else is read.
    assert value_error(b"\x91" * 128 + b"\x81") == DEPTH_MSG


def test_keys_kept_by_a_thread_go_with_it():
    data = dumps([{"name": 1, "kind": 2}] * 4)
    got = []
    t = threading.Thread(target=lambda: got.append(next(iter(loads(data)[3]))))
    t.start()
    t.join()
    key = got.pop()
    alone = "".join(["na", "me"])  # a str that nothing else holds
    assert sys.getrefcount(key) == sys.getrefcount(alone)


def test_one_character_strings_are_the_interpreters_own():
    assert [s is chr(ord(s)) for s in loads(dumps(["a", "é", "\x00", "ÿ"]))] == [True] * 4


def test_results_are_fresh_objects():
    a = loads(b"\x91\x01")
    b = loads(b"\x91\x01")
    assert a == b and a is not b
