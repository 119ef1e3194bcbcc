"""dumps and loads against the other msgpack codecs for Python, on a fixed corpus.

Each peer is called in its fastest ordinary form (msgspec and msgpack through reused
encoder/decoder objects) and decodes its own encoding of the value.
"""

from __future__ import annotations

import random

from harness import Case, Settings, run_table

NEEDS = "dumps"
REFERENCE = "msgspec"


def corpus() -> dict[str, object]:
    rnd = random.Random(20240611)
    agent_state = {
        "agent_id": "planner-7",
        "thread_id": "t-000123",
        "step": 42,
        "temperature": 0.7,
        "top_p": 0.95,
        "done": False,
        "interrupted": True,
        "last_tool": None,
        "model": "large-2025-01",
        "tokens_used": 18231,
        "cost": 0.01734,
        "status": "waiting_for_tool",
    }
    roles = ("user", "assistant", "tool", "system")
    words = ("plan", "route", "check", "the", "state", "tool", "call", "result", "agent",
             "next", "résumé", "naïve", "value", "graph", "store")
    messages = []
    for i in range(50):
        messages.append({
            "id": f"msg-{i:05d}",
            "role": roles[i % 4],
            "content": " ".join(rnd.choice(words) for _ in range(rnd.randint(8, 40))),
            "ts": 1718000000.0 + i * 1.25,
            "tokens": rnd.randint(5, 900),
            "tool_call": None if i % 3 else {"name": "search", "args": {"q": f"q{i}", "k": 5}},
            "final": i == 49,
        })
    conversation = {"thread_id": "t-000123", "version": 3, "messages": messages}
    floats = [rnd.random() * 1e6 - 5e5 for _ in range(10_000)]
    strings = {f"k{i:04d}": f"v-{rnd.randrange(10**6)}" for i in range(1000)}
    blob = rnd.randbytes(1 << 20)
    small_ints = [rnd.randint(-1000, 1000) for _ in range(10_000)]
    ints_40 = [rnd.randint(-2**40, 2**40) for _ in range(10_000)]
    ints_62 = [rnd.randint(-2**62, 2**62) for _ in range(10_000)]
    scripts = ("résumé naïve café ", "Привет мир ", "こんにちは世界 ", "Γειά σου ", "🙂 ok ",
               "مرحبا ", "数据 状态 ")
    non_ascii = {f"k{i:03d}": "".join(rnd.choice(scripts) for _ in range(rnd.randint(1, 6)))
                 for i in range(200)}
    nested = [[{"x": rnd.randint(0, 99), "y": rnd.choice("abcxyz"), "ok": i % 2 == 0}
               for i in range(rnd.randint(5, 15))] for _ in range(200)]
    return {
        "agent state (12 keys)": agent_state,
        "conversation (50 msgs)": conversation,
        "checkpoint (LangGraph-style)": checkpoint(rnd, words),
        "10k floats": floats,
        "10k small ints": small_ints,
        "10k ints +-2^40": ints_40,
        "10k ints +-2^62": ints_62,
        "dict of 1000 strs": strings,
        "dict of 200 non-ASCII strs": non_ascii,
        "200 lists of small dicts": nested,
        "bytes 1 MiB": blob,
    }


def checkpoint(rnd: random.Random, words: tuple[str, ...]) -> dict[str, object]:
    """A checkpoint record as a LangGraph saver would keep it: channel values holding a
    message list with ids, metadata and tool calls, plus the version bookkeeping."""
    def uid() -> str:
        return "-".join(f"{rnd.getrandbits(b):0{b // 4}x}" for b in (32, 16, 16, 16, 48))

    messages = []
    for i in range(24):
        kind = ("human", "ai", "tool")[i % 3]
        msg = {
            "type": kind,
            "id": f"run-{uid()}",
            "content": " ".join(rnd.choice(words) for _ in range(rnd.randint(5, 60))),
            "additional_kwargs": {},
            "response_metadata": {},
            "name": None,
        }
        if kind == "ai":
            msg["tool_calls"] = [{"name": "search", "args": {"query": f"q {i}", "limit": 5},
                                  "id": f"call_{rnd.getrandbits(96):024x}", "type": "tool_call"}]
            msg["usage_metadata"] = {"input_tokens": rnd.randint(100, 9000),
                                     "output_tokens": rnd.randint(5, 900),
                                     "total_tokens": rnd.randint(100, 9900)}
            msg["response_metadata"] = {"model_name": "large-2025-01", "finish_reason": "tool_calls"}
        elif kind == "tool":
            msg["tool_call_id"] = f"call_{rnd.getrandbits(96):024x}"
            msg["status"] = "success"
        messages.append(msg)
    versions = {c: f"{i:032d}.{rnd.random():.16f}" for i, c in
                enumerate(("__start__", "messages", "agent", "tools", "branch:agent"))}
    return {
        "v": 1,
        "id": uid(),
        "ts": "2025-01-07T10:21:33.412345+00:00",
        "channel_values": {"messages": messages, "agent": "agent", "remaining_steps": 19},
        "channel_versions": versions,
        "versions_seen": {n: dict(list(versions.items())[:3]) for n in ("agent", "tools")},
        "pending_sends": [],
        "metadata": {"source": "loop", "step": 23, "parents": {}, "thread_id": "t-000123",
                     "writes": {"agent": {"messages": [messages[-2]["id"]]}}},
    }


def peers() -> tuple[dict[str, tuple], list[str]]:
    """name -> (dumps, loads); and notes on peers that could not be loaded."""
    import quorvalent

    out = {"quorvalent": (quorvalent.dumps, quorvalent.loads)}
    missing = []
    try:
        import msgspec

        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        out["msgspec"] = (enc.encode, dec.decode)
    except ImportError as e:
        missing.append(f"msgspec: {e}")
    try:
        import msgpack

        packer = msgpack.Packer()  # resets itself after each pack
        out["msgpack"] = (packer.pack, msgpack.unpackb)
    except ImportError as e:
        missing.append(f"msgpack: {e}")
    try:
        import ormsgpack

        out["ormsgpack"] = (ormsgpack.packb, ormsgpack.unpackb)
    except ImportError as e:
        missing.append(f"ormsgpack: not installed ({e}); run without it")
    return out, missing


def run(settings: Settings) -> None:
    codecs, missing = peers()
    for m in missing:
        print(f"note: {m}")
    reference = REFERENCE if REFERENCE in codecs else "quorvalent"
    columns = list(codecs)
    data = corpus()

    encode_cases, decode_cases = [], []
    for name, value in data.items():
        enc = {}
        dec = {}
        notes = []
        for peer, (dumps, loads) in codecs.items():
            wire = dumps(value)
            if loads(wire) != value:
                notes.append(f"{peer} does not round-trip")
            enc[peer] = (lambda f=dumps, v=value: f(v))
            dec[peer] = (lambda f=loads, b=wire: f(b))
        sizes = {len(codecs[p][0](value)) for p in codecs}
        size_note = f"{min(sizes)} B" if len(sizes) == 1 else f"{min(sizes)}-{max(sizes)} B"
        encode_cases.append(Case(name, enc, reference, "; ".join([size_note] + notes)))
        decode_cases.append(Case(name, dec, reference, "; ".join(notes)))

    results = run_table("codec: dumps", encode_cases, settings, columns)
    results += run_table("codec: loads", decode_cases, settings, columns)
    if reference != "quorvalent":
        behind = [
            f"{d} {r.case.name} ({r.best[reference] / r.best['quorvalent']:.2f}x)"
            for d, r in zip(["dumps"] * len(encode_cases) + ["loads"] * len(decode_cases),
                            results)
            if r.best["quorvalent"] > r.best[reference]
        ]
        print(f"\nquorvalent slower than {reference} in: " + (", ".join(behind) or "none"))
