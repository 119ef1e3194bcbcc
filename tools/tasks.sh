#!/usr/bin/env bash
# The build and test tasks, run inside the build place (see tools/in-root.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
task=${1:?task}
shift || true
py=${QV_PYTHON_BIN:-python3.14}
venv=$PWD/build/venv
jobs=$(nproc)

venv() {
  if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv --system-site-packages "$venv"
  fi
}

# Our builds treat warnings as errors (QV_WERROR=OFF lets a new compiler's warnings
# through); a user's build of the sdist does not: the CMake option defaults to off.
werror=${QV_WERROR:-ON}

# The package's real build: scikit-build-core drives CMake; its build tree is kept for reuse.
install_pkg() {
  venv
  "$venv/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
    -C cmake.define.QV_WERROR="$werror" ${QV_PIP_ARGS:-} . >&2
}

# From PyPI, at the versions last tested (pyproject.toml gives the lower bounds): LangGraph
# for the adapter's tests, demo and bench, psycopg for the PostgreSQL backend (with its
# own libpq, as PostgresSaver's users install it) and PostgresSaver as its peer, mypy for
# the type check. pip leaves satisfied pins alone.
LANGGRAPH_PINS="langgraph==1.2.24 langgraph-checkpoint==4.3.2 langgraph-checkpoint-conformance==0.0.2
  langgraph-checkpoint-sqlite==3.1.2"
POSTGRES_PINS="psycopg[binary]==3.3.9 psycopg-pool==3.3.3 langgraph-checkpoint-postgres==3.2.0"
PYPI_PINS="$LANGGRAPH_PINS $POSTGRES_PINS mypy==2.4.1"
pypi_deps() {
  venv
  "$venv/bin/python" -m pip install -q --disable-pip-version-check $PYPI_PINS >&2
}

# A free-threaded CPython 3.14 that already exists (QV_PYTHON_FT, the path of its python;
# tools/in-root.sh shows it in here at the same path) gets a venv of its own, with what
# the build root gives the GIL build from Debian taken from PyPI instead. orjson does not
# build for it yet, and langgraph_sdk, which langgraph.graph imports, imports orjson at
# load time (only its server client uses it, which no test reaches): a stand-in that
# only imports takes its place (tools/orjson-standin).
FT_PINS="pytest==9.2.0 hypothesis==6.170.27 pytest-run-parallel==0.10.0 msgpack==1.2.4
  msgspec==0.23.0 scikit-build-core==1.1.2 pathspec==1.1.1"
ft_venv() {
  local ft=${QV_PYTHON_FT:?set QV_PYTHON_FT to the python of a free-threaded CPython 3.14}
  venv=$PWD/build/venv-ft
  [ -x "$venv/bin/python" ] || "$ft" -m venv "$venv"
  "$venv/bin/python" -c 'import sys, sysconfig
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else "QV_PYTHON_FT is not a free-threaded build")'
  "$venv/bin/python" -m pip install -q --disable-pip-version-check ./tools/orjson-standin \
    $FT_PINS $LANGGRAPH_PINS >&2
  "$venv/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
    -C cmake.define.QV_WERROR="$werror" -C 'build-dir=build/ft-{wheel_tag}' . >&2
  # The module and everything the suite imports must keep the GIL off by themselves.
  (cd tests && "$venv/bin/python" -W error::RuntimeWarning -c 'import sys, quorvalent.langgraph, langgraph.graph
assert not sys._is_gil_enabled(), "importing turned the GIL on"')
}

# The README's ```python blocks, written to <dir>/readme_<n>.py.
readme_examples() {
  "$py" -c '
import pathlib, re, sys
text = pathlib.Path("README.md").read_text()
for i, code in enumerate(re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)):
    pathlib.Path(sys.argv[1], f"readme_{i}.py").write_text(code)
' "$1"
}

native() {  # native <dir> <cmake args...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_PYTHON=OFF -DQV_WERROR="$werror" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

case "$task" in
  build)
    install_pkg ;;
  cpp-test)
    native build/native -DQV_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build/native -j"$jobs" --output-on-failure "$@" ;;
  py-test)
    install_pkg
    pypi_deps
    cd tests && "$venv"/bin/python -m pytest -q -p no:cacheprovider "$@" ;;
  test-ft)
    # The whole suite on the free-threaded interpreter with the GIL off, serially and then
    # every test on several threads at once.
    ft_venv
    cd tests
    PYTHON_GIL=0 "$venv"/bin/python -m pytest -q -p no:cacheprovider "$@"
    PYTHON_GIL=0 "$venv"/bin/python -m pytest -q -p no:cacheprovider \
      --parallel-threads="${QV_THREADS:-4}" "$@" ;;
  parallel)
    # Every test on several threads at once (pytest-run-parallel).
    "$0" py-test --parallel-threads="${QV_THREADS:-4}" "$@" ;;
  test)
    "$0" cpp-test
    QV_TEST_RATIO=1 "$0" py-test "$@" ;;
  demo)
    install_pkg
    pypi_deps
    "$venv/bin/python" examples/demo.py
    "$venv/bin/python" examples/langgraph_demo.py ;;
  typecheck)
    # The stubs against the built module (stubtest walks the package's modules, _core
    # included); the package's own sources and examples/ under mypy --strict (mypy stays
    # silent about errors inside an installed package, so it reads them from python/);
    # the README's examples under mypy --strict against the installed package, and run so
    # that they stay true; last, the README's promise to a user (the package task).
    install_pkg
    pypi_deps
    out=$PWD/build/typecheck
    rm -rf "$out" && mkdir -p "$out"
    MYPYPATH=$PWD/python "$venv/bin/python" -m mypy --strict --cache-dir "$out/cache-src" \
      python/quorvalent examples
    readme_examples "$out"
    (
      cd "$out"
      "$venv/bin/python" -m mypy.stubtest --allowlist "$OLDPWD/tools/stubtest-allowlist.txt" quorvalent
      "$venv/bin/python" -m mypy --strict readme_*.py
      for f in readme_*.py; do "$venv/bin/python" "$f" >/dev/null; done
    )
    "$0" package ;;
  package)
    # What a user gets: a fresh venv, `pip install '.[langgraph]'` from this checkout
    # (build isolation, the newest releases the extra allows, from PyPI), then every
    # example of the README. Only the build tree is kept between runs, for speed.
    v=$PWD/build/venv-user
    rm -rf "$v" && "$py" -m venv "$v"
    "$v/bin/python" -m pip install -q --disable-pip-version-check \
      -C 'build-dir=build/user-{wheel_tag}' '.[langgraph]' >&2
    out=$PWD/build/package
    rm -rf "$out" && mkdir -p "$out"
    readme_examples "$out"
    cd "$out"
    for f in readme_*.py; do "$v/bin/python" "$f" >/dev/null; done
    echo "package: README examples ran after pip install '.[langgraph]' in a fresh venv" \
      "($("$v/bin/python" -m pip list --format=freeze 2>/dev/null | grep -E '^langgraph(-checkpoint)?==' | xargs))" ;;
  bench)
    if [ -n "${QV_PYTHON_FT:-}" ]; then ft_venv; else install_pkg; pypi_deps; fi
    # ormsgpack is an optional peer from PyPI; the bench says so when it cannot be had.
    "$venv/bin/python" -c 'import ormsgpack' 2>/dev/null ||
      "$venv/bin/python" -m pip install -q --disable-pip-version-check ormsgpack >&2 || true
    "$venv/bin/python" bench/bench.py "$@"
    # The engine alone, without Python: throughput with 1 and 2 threads, snapshot cost.
    native build/bench -DQV_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    printf '\n== store engine (Google Benchmark, no Python)\n'
    build/bench/bench/cpp/bench_store --benchmark_min_time=0.2s ;;
  tsan)
    CC=clang CXX=clang++ native build/tsan -DQV_TESTS=ON -DQV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan -j"$jobs" --output-on-failure -R "${QV_TSAN_FILTER:-.}" ;;
  asan)
    # The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, the whole
    # pytest suite run with the runtimes preloaded into the interpreter.
    v=$PWD/build/venv-asan
    [ -x "$v/bin/python" ] || "$py" -m venv --system-site-packages "$v"
    "$v/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
      -C cmake.define.QV_WERROR="$werror" -C cmake.define.QV_SANITIZE=address,undefined -C cmake.build-type=RelWithDebInfo \
      -C 'build-dir=build/asan-{wheel_tag}' . >&2
    preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    cd tests && LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$v"/bin/python -m pytest -q -p no:cacheprovider "$@" ;;
  fuzz)
    # Each libFuzzer target for QV_FUZZ_SECONDS; any crash, leak or sanitizer report fails.
    dir=${QV_FUZZ_DIR:-build/fuzz}
    CC=clang CXX=clang++ native "$dir" -DQV_FUZZ=ON -DQV_SANITIZE=address,undefined \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
    for bin in "$dir"/tests/fuzz/fuzz_*; do
      name=${bin##*/fuzz_}
      work=$dir/corpus/$name
      mkdir -p "$work"
      # New inputs go to the work corpus; the checked-in seeds are only read.
      PYTHONMALLOC=malloc \
        ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$bin" -max_total_time="${QV_FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$dir/" "$work" "tests/fuzz/corpus/$name"
    done ;;
  refleaks)
    # The suite on the debug interpreter, each test repeated after warm-up while the
    # total reference count and allocated blocks are watched (tools/refleak_plugin.py).
    v=$PWD/build/venv-dbg
    [ -x "$v/bin/python" ] || python3.14-dbg -m venv --system-site-packages "$v"
    "$v/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
      -C cmake.define.QV_WERROR="$werror" -C 'build-dir=build/dbg-{wheel_tag}' . >&2
    cd tests && PYTHONPATH="$PWD/../tools" HYPOTHESIS_PROFILE=refleak \
      "$v"/bin/python -m pytest -q -p no:cacheprovider -p refleak_plugin "$@" ;;
  ft-check)
    # No free-threaded interpreter is at hand: compile every Python-facing source with the
    # free-threaded configuration (never linked), and with clang too, whose warnings
    # differ from the compiler the package build uses.
    inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    srcs=$(git ls-files 'src/bridge/*.cpp' 'src/module/*.cpp' 'src/*/py_*.cpp')
    for cxx in g++ clang++; do
      for cfg in -DPy_GIL_DISABLED=1 -UPy_GIL_DISABLED; do
        for f in $srcs; do
          "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra $([ "$werror" = ON ] && echo -Werror) "$cfg" -isystem "$inc" \
            -DQV_VERSION=\"0\" -Isrc "$f"
        done
      done
    done
    echo "bridge sources compile: $(echo "$srcs" | wc -w) files, g++ and clang++, GIL and free-threaded" ;;
  refleaks-short)
    # CI's pass: fewer repetitions, and the slow threaded and property-based tests left
    # to the full run.
    "$0" refleaks --refleak-warmup 1 --refleak-runs 3 -m "not slow" "$@" ;;
  instructions)
    # Instructions per call under callgrind, ours beside the peer (exact where times are
    # noisy); on the free-threaded interpreter when QV_PYTHON_FT is set.
    if [ -n "${QV_PYTHON_FT:-}" ]; then ft_venv; else install_pkg; fi
    "$venv/bin/python" bench/instructions.py "$@" ;;
  mutate)
    # Planted faults against the whole suite; long (about an hour for 300 mutants), not in CI.
    install_pkg
    pypi_deps
    "$venv/bin/python" tools/mutate.py "$@" ;;
  format)
    git ls-files '*.cpp' '*.hpp' | grep -v -e '_tables' | xargs clang-format -i ;;
  shell)
    exec bash "$@" ;;
  *)
    echo "unknown task: $task" >&2; exit 2 ;;
esac
