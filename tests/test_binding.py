import pytest

from quorvalent._core import HandoffGraph, Store, dumps, loads


def _msg(fn, *args, **kwargs):
    with pytest.raises(TypeError) as ei:
        fn(*args, **kwargs)
    assert type(ei.value) is TypeError
    return str(ei.value)


@pytest.mark.parametrize("fn,args,kwargs,message", [
    (dumps, (), {}, "dumps() missing 1 required positional argument: 'obj'"),
    (loads, (), {}, "loads() missing 1 required positional argument: 'data'"),
    (dumps, (1, 2), {}, "dumps() takes 1 positional arguments but 2 were given"),
    (loads, (b"", b"", b""), {}, "loads() takes 1 positional arguments but 3 were given"),
    # Too many positional is found before a bad keyword.
    (dumps, (1, 2), {"nope": 1}, "dumps() takes 1 positional arguments but 2 were given"),
    (dumps, (), {"object": 1}, "dumps() got an unexpected keyword argument 'object'"),
    (dumps, (1,), {"Obj": 1}, "dumps() got an unexpected keyword argument 'Obj'"),
    (loads, (), {"data": b"\x01", "extra": 1}, "loads() got an unexpected keyword argument 'extra'"),
    (dumps, (1,), {"obj": 1}, "dumps() got multiple values for argument 'obj'"),
    (loads, (b"\x01",), {"data": b"\x01"}, "loads() got multiple values for argument 'data'"),
    # A bad keyword is reported before a missing argument.
    (loads, (), {"datum": b""}, "loads() got an unexpected keyword argument 'datum'"),
    # Any name is quoted whole, as the interpreter quotes it for its own functions.
    (loads, (), {"\ud800": 1}, "loads() got an unexpected keyword argument '\ud800'"),
    (dumps, (1,), {"a\0b": 1}, "dumps() got an unexpected keyword argument 'a\0b'"),
])
def test_binding_errors(fn, args, kwargs, message):
    assert _msg(fn, *args, **kwargs) == message


def test_bind_through_call_with_dict():
    # The tuple/dict calling path (functools.partial, **kwargs) binds the same way.
    assert dumps(**{"obj": 1}) == b"\x01"
    assert loads(**{"data": b"\x01"}) == 1
    assert _msg(lambda **k: dumps(**k), obj=1, bad=2) == "dumps() got an unexpected keyword argument 'bad'"


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("arg,message", [
    ("x", "argument 'data': 'str' object is not an instance of 'bytes'"),
    (bytearray(b"\x01"), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"\x01"), "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    (None, "argument 'data': 'None' is not an instance of 'bytes'"),
    (1, "argument 'data': 'int' object is not an instance of 'bytes'"),
    ([1], "argument 'data': 'list' object is not an instance of 'bytes'"),
])
def test_argument_type_errors(arg, message):
    assert _msg(loads, arg) == message
    assert _msg(loads, data=arg) == message


def test_argument_error_has_no_cause_and_is_fresh():
    with pytest.raises(TypeError) as ei:
        loads(None)
    assert ei.value.__cause__ is None


def test_subclass_of_bytes_accepted():
    assert loads(BytesSub(b"\x92\x01\xc0")) == [1, None]
    assert loads(data=BytesSub(b"\xa1a")) == "a"


def test_value_errors_are_not_wrapped():
    # Only binding and conversion TypeErrors name the argument; codec errors pass as is.
    with pytest.raises(TypeError) as ei:
        dumps(object())
    assert str(ei.value).startswith("unsupported value type")
    with pytest.raises(ValueError) as ei:
        loads(b"")
    assert str(ei.value) == "msgpack decode error: unexpected end of input"


def _cycle(name):
    g = HandoffGraph()
    g.add_edge(name, "b")
    g.add_edge("b", name)


@pytest.mark.parametrize("call,message", [
    (lambda t: Store(backend=t), "backend '{}' is not available in this build (only 'memory')"),
    (lambda t: Store(codec=t), "codec '{}' is not supported (only 'msgpack')"),
    (lambda t: HandoffGraph().add_edge("a", "b", "x " + t[1]),
     "invalid condition: unexpected character '\0'"),
    (_cycle, "adding edge 'b' -> '{}' would create a cycle (on_cycle='error')"),
])
def test_messages_quote_text_with_nul_whole(call, message):
    text = "a\0b"
    with pytest.raises(ValueError) as ei:
        call(text)
    assert str(ei.value) == message.format(text)
