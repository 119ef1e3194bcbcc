#!/usr/bin/env python3
"""Mutation testing of src/: how many planted faults does the test suite catch?

Mutants are made by rules (comparisons shifted by one or flipped, operators swapped,
conditions negated, constants changed, statements deleted), on every non-generated
source of src/. A fixed, seeded sample is drawn from them, spread over the folders of
src/ in proportion to their sites (at least a few from each), so two runs on the same
sources compare. Each mutant is applied to a private copy of the tree, rebuilt
incrementally (mutants are visited file by file, so one translation unit is recompiled
per mutant), and the suites run with a timeout, stopping at the first failure.

Outcome per mutant: killed (some test failed), survived, timed out, or did not compile.
Score = (killed + timed out) / (mutants that compiled).

Usage (inside the build place; `make mutate` does this):
    tools/mutate.py [--mutants N] [--seed S] [--list] [--only PATH_SUBSTRING]
                    [--workers W] [--tests REV] [--again RESULTS_JSON]
QV_MUTANTS, QV_MUTATE_SEED, QV_MUTATE_TESTS and QV_MUTATE_AGAIN set the defaults of
--mutants, --seed, --tests and --again. --tests REV runs
the suite of another git revision against today's sources (the sample is drawn from the
sources, so the scores compare); --again runs only the survivors of an earlier run.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import dataclasses
import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SKIP = re.compile(r"unicode_tables")  # generated

# (kind, pattern, replacement). Patterns see code with comments and literals blanked.
RULES: list[tuple[str, str, str]] = [
    ("cmp", r"(?<![<>=!&|+\-*/%^])<=(?![=<>])", "<"),
    ("cmp", r"(?<![<>=!&|+\-*/%^])>=(?![=<>])", ">"),
    ("cmp", r"(?<![<>=!&|+\-*/%^<])<(?![=<>])", "<="),
    ("cmp", r"(?<![<>=!&|+\-*/%^>-])>(?![=<>])", ">="),
    ("cmp", r"==", "!="),
    ("cmp", r"!=", "=="),
    ("logic", r"&&", "||"),
    ("logic", r"\|\|", "&&"),
    ("arith", r"(?<=[\w)\]] )\+(?= [\w(])", "-"),
    ("arith", r"(?<=[\w)\]] )-(?= [\w(])", "+"),
    ("arith", r"\+\+", "--"),
    ("arith", r"(?<![-])--(?![-])", "++"),
    ("arith", r"\+=", "-="),
    ("arith", r"-=", "+="),
    ("bits", r"(?<=[\w)] )<<(?= [\w(])", ">>"),
    ("bits", r"(?<=[\w)] )>>(?= [\w(])", "<<"),
    ("bits", r"(?<=[\w)] )&(?= [\w(])", "|"),
    ("bits", r"(?<=[\w)] )\|(?= [\w(])", "&"),
    ("const", r"\btrue\b", "false"),
    ("const", r"\bfalse\b", "true"),
    ("const", r"(?<![\w.])0(?![\w.x])", "1"),
    ("const", r"(?<![\w.])1(?![\w.x])", "0"),
    ("const", r"(?<![\w.])([2-9]|[1-9]\d+)(?![\w.x])", "+1"),  # n -> n+1
    ("negate", r"\b(if|while) \((.*)\)\s*(\{|$|return|break|continue)", "!"),
]
STATEMENT = re.compile(
    r"^\s*(?!return\b|case\b|default\b|break\b|continue\b|else\b|using\b|static_assert\b)"
    r"[\w:.\->\[\]()*&]+\s*(\(.*\)|[-+*/|&]?=.*|\+\+|--);\s*$")
DECL = re.compile(r"^\s*(const\s+)?(auto|[\w:<>]+[*&]?)\s+[\w*&]+\s*(=|\{|\()")


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str  # relative to REPO
    line: int  # 1-based
    start: int
    end: int
    replacement: str
    kind: str

    def describe(self, text: str) -> str:
        return f"{text[self.start:self.end]!r} -> {self.replacement!r}" if self.kind != "delete" \
            else "statement deleted"


def blank(code: str) -> str:
    """The source with comments, string and character literals replaced by spaces."""
    out = []
    i, n = 0, len(code)
    while i < n:
        c = code[i]
        if code.startswith("//", i):
            j = code.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif code.startswith("/*", i):
            j = code.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", code[i:j]))
            i = j
        elif c == 'R' and code.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', code[i:])
            end = code.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", code[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and code[j] != c:
                j += 2 if code[j] == "\\" else 1
            j = min(j + 1, n)
            # keep the quotes so literals still look like operands
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else " " * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def sites(rel: str) -> list[Mutant]:
    text = (REPO / rel).read_text()
    code = blank(text)
    found: list[Mutant] = []
    offset = 0
    for lineno, line in enumerate(code.split("\n"), 1):
        stripped = line.strip()
        skip = (not stripped or stripped.startswith("#") or "static_assert" in line
                or "template" in line or "#include" in line or "operator" in line)
        if not skip:
            for kind, pat, rep in RULES:
                for m in re.finditer(pat, line):
                    if kind == "negate":
                        s, e = m.start(2), m.end(2)
                        found.append(Mutant(rel, lineno, offset + s, offset + e,
                                            "!(" + text[offset + s:offset + e] + ")", kind))
                        continue
                    if kind == "cmp" and rep in ("<=", ">=") and re.search(
                            r"\w\s*<[\w:, *&<>]*>|template|static_cast|reinterpret_cast|"
                            r"const_cast|std::|->", line):
                        continue  # likely a template bracket or member access
                    value = rep if rep != "+1" else str(int(m.group(0)) + 1)
                    found.append(Mutant(rel, lineno, offset + m.start(), offset + m.end(),
                                        value, kind))
            if STATEMENT.match(line) and not DECL.match(line):
                found.append(Mutant(rel, lineno, offset, offset + len(line), "", "delete"))
        offset += len(line) + 1
    return found


def all_sites(only: str | None) -> list[Mutant]:
    files = sorted(str(p.relative_to(REPO)) for p in (REPO / "src").rglob("*")
                   if p.suffix in (".cpp", ".hpp") and not SKIP.search(p.name))
    out = []
    for rel in files:
        if only is None or only in rel:
            out.extend(sites(rel))
    return out


def folder(m: Mutant) -> str:
    return "/".join(Path(m.path).parts[:2])


def sample(candidates: list[Mutant], count: int, seed: int) -> list[Mutant]:
    """Stratified by folder: proportional to sites, at least min(5, sites) from each."""
    rng = random.Random(seed)
    by_folder: dict[str, list[Mutant]] = collections.defaultdict(list)
    for m in candidates:
        by_folder[folder(m)].append(m)
    total = len(candidates)
    quota = {f: max(min(5, len(ms)), round(count * len(ms) / total)) for f, ms in by_folder.items()}
    chosen: list[Mutant] = []
    for f in sorted(by_folder):
        ms = by_folder[f]
        chosen.extend(rng.sample(ms, min(quota[f], len(ms))))
    rng.shuffle(chosen)
    chosen = chosen[:count] if len(chosen) > count else chosen
    # Visit file by file so each step recompiles as little as possible.
    return sorted(chosen, key=lambda m: (m.path, m.line, m.start))


def sh(cmd: list[str], cwd: Path, timeout: float, env: dict[str, str] | None = None) -> str:
    """'ok', 'fail' or 'timeout'."""
    try:
        r = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=timeout, start_new_session=True)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "ok" if r.returncode == 0 else "fail"


class Runner:
    def __init__(self, work: Path, jobs: int, tests_rev: str | None) -> None:
        self.tree = work / "tree"
        self.bld = work / "bld"
        self.jobs = jobs
        self.tests_rev = tests_rev
        py = REPO / "build" / "venv" / "bin" / "python"
        self.python = str(py) if py.exists() else "python3.14"
        self.env = dict(os.environ, PYTHONPATH=str(self.bld / "python"),
                        PYTHONDONTWRITEBYTECODE="1")
        self.py_time = self.cpp_time = 60.0

    def prepare(self) -> None:
        # Sources are copied with their times, so objects left by an earlier run (one
        # stopped mid-mutant, say) could pass for current: start from nothing.
        for d in (self.tree, self.bld):
            if d.exists():
                shutil.rmtree(d)
        self.tree.mkdir(parents=True)
        # tests/ also reads docs/ (the guard reference) and tools/ (the layering check).
        for part in ("CMakeLists.txt", "src", "tests", "python", "pyproject.toml", "docs", "tools"):
            src = REPO / part
            if part == "tests" and self.tests_rev:
                archive = subprocess.run(["git", "archive", self.tests_rev, "tests"], cwd=REPO,
                                         check=True, capture_output=True).stdout
                subprocess.run(["tar", "-x", "-C", str(self.tree)], input=archive, check=True)
                continue
            (shutil.copytree if src.is_dir() else shutil.copy2)(src, self.tree / part)
        subprocess.run(
            ["cmake", "-S", str(self.tree), "-B", str(self.bld), "-G", "Ninja",
             "-DQV_TESTS=ON", "-DQV_PYTHON=ON", "-DQV_WERROR=OFF", "-DCMAKE_BUILD_TYPE=Release",
             "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG", f"-DPython_EXECUTABLE={self.python}"],
            check=True, stdout=subprocess.DEVNULL)
        if self.build(3600) != "ok":
            sys.exit("mutate: the unmutated tree does not build")
        t0 = time.monotonic()
        if self.pytest(3600) != "ok":
            sys.exit("mutate: the unmutated pytest suite fails")
        self.py_time = time.monotonic() - t0
        t0 = time.monotonic()
        if self.ctest(3600) != "ok":
            sys.exit("mutate: the unmutated native suite fails")
        self.cpp_time = time.monotonic() - t0

    def build(self, timeout: float) -> str:
        state = sh(["cmake", "--build", str(self.bld), f"-j{self.jobs}"], self.tree, timeout)
        pkg = self.bld / "python" / "quorvalent"
        for f in (self.tree / "python" / "quorvalent").glob("*.py"):
            shutil.copy2(f, pkg / f.name)
        return state

    def pytest(self, timeout: float) -> str:
        return sh([self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                   "-p", "no:randomly"], self.tree / "tests", timeout, self.env)

    def ctest(self, timeout: float) -> str:
        return sh(["ctest", "--test-dir", str(self.bld), "--stop-on-failure", f"-j{self.jobs}"],
                  self.tree, timeout)

    def run(self, m: Mutant) -> str:
        path = self.tree / m.path
        original = path.read_text()
        path.write_text(original[:m.start] + m.replacement + original[m.end:])
        try:
            if self.build(900) != "ok":
                return "did not compile"
            # The suite nearer to the code goes first: it usually fails soonest.
            order = [self.pytest, self.ctest]
            if not (m.path.startswith("src/module") or "/py_" in m.path):
                order.reverse()
            for suite in order:
                limit = 3 * (self.py_time if suite == self.pytest else self.cpp_time) + 30
                state = suite(limit)
                if state == "fail":
                    return "killed"
                if state == "timeout":
                    return "timed out"
            return "survived"
        finally:
            path.write_text(original)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mutants", type=int, default=int(os.environ.get("QV_MUTANTS", 300)))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("QV_MUTATE_SEED", 20261206)))
    ap.add_argument("--only", help="only sources whose path contains this")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 2,
                    help="private trees mutated side by side")
    ap.add_argument("--tests", metavar="REV", default=os.environ.get("QV_MUTATE_TESTS"),
                    help="take tests/ from this git revision")
    ap.add_argument("--again", metavar="RESULTS_JSON", default=os.environ.get("QV_MUTATE_AGAIN"),
                    help="run only this run's survivors")
    args = ap.parse_args()

    # Again, --only narrows the earlier run's sample instead of drawing a new one.
    candidates = all_sites(None if args.again else args.only)
    chosen = sample(candidates, args.mutants, args.seed)
    if args.again:
        keep = {(r["path"], r["start"], r["end"], r["replacement"])
                for r in json.loads(Path(args.again).read_text()) if r["outcome"] == "survived"}
        chosen = [m for m in chosen if (m.path, m.start, m.end, m.replacement) in keep
                  and (args.only is None or args.only in m.path)]
    texts = {p: (REPO / p).read_text() for p in {m.path for m in chosen}}
    print(f"mutate: {len(candidates)} sites, {len(chosen)} mutants (seed {args.seed})", flush=True)
    if args.list:
        for m in chosen:
            print(f"  {m.path}:{m.line} [{m.kind}] {m.describe(texts[m.path])}")
        return

    work = REPO / "build" / ("mutate" if not args.tests else f"mutate-{args.tests}")
    workers = max(1, min(args.workers, len(chosen)))
    # Each worker takes a contiguous run of the file-ordered sample, so it still
    # recompiles little per mutant; they share the cores.
    runners = [Runner(work / f"w{i}", max(1, (os.cpu_count() or 2) // workers), args.tests)
               for i in range(workers)]
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        list(pool.map(Runner.prepare, runners))
    print(f"mutate: baseline pytest {runners[0].py_time:.0f} s, "
          f"ctest {runners[0].cpp_time:.0f} s, {workers} workers", flush=True)
    results: dict[Mutant, str] = {}
    lock = threading.Lock()
    t0 = time.monotonic()

    def work_through(runner: Runner, share: list[Mutant]) -> None:
        for m in share:
            outcome = runner.run(m)
            with lock:
                results[m] = outcome
                print(f"[{len(results)}/{len(chosen)} {time.monotonic() - t0:.0f}s] "
                      f"{outcome:15} {m.path}:{m.line} {m.describe(texts[m.path])}", flush=True)
        runner.build(3600)  # leave the copy as the sources are

    per = -(-len(chosen) // workers)
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for f in [pool.submit(work_through, r, chosen[i * per:(i + 1) * per])
                  for i, r in enumerate(runners)]:
            f.result()

    report([(m, results[m]) for m in chosen], texts, work)


def report(results: list[tuple[Mutant, str]], texts: dict[str, str], work: Path) -> None:
    per: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    for m, outcome in results:
        per[folder(m)][outcome] += 1
        per["all"][outcome] += 1

    def score(c: collections.Counter[str]) -> str:
        compiled = c["killed"] + c["timed out"] + c["survived"]
        return f"{100 * (c['killed'] + c['timed out']) / compiled:.1f}%" if compiled else "-"

    print("\nfolder            killed survived timed-out no-compile  score")
    for f in sorted(per, key=lambda f: (f == "all", f)):
        c = per[f]
        print(f"{f:16} {c['killed']:7} {c['survived']:8} {c['timed out']:9} "
              f"{c['did not compile']:10}  {score(c)}")
    survivors = [(m, texts[m.path]) for m, o in results if o == "survived"]
    print(f"\nsurvivors ({len(survivors)}):")
    for m, text in survivors:
        print(f"  {m.path}:{m.line} [{m.kind}] {m.describe(text)}")
    out = work / "results.json"
    out.write_text(json.dumps([dict(dataclasses.asdict(m), outcome=o) for m, o in results],
                              indent=1))
    print(f"\nmutate: results in {out.relative_to(REPO)}")


if __name__ == "__main__":
    main()
