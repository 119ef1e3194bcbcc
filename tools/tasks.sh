#!/usr/bin/env bash
# The build and test tasks, run inside the build place (see tools/in-root.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
task=${1:?task}
shift || true
py=${QV_PYTHON_BIN:-python3.14}
venv=build/venv
jobs=$(nproc)

venv() {
  if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv --system-site-packages "$venv"
  fi
}

# The package's real build: scikit-build-core drives CMake; its build tree is kept for reuse.
install_pkg() {
  venv
  "$venv/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
    ${QV_PIP_ARGS:-} . >&2
}

native() {  # native <dir> <cmake args...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_PYTHON=OFF "$@" >/dev/null
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
    cd tests && ../"$venv"/bin/python -m pytest -q -p no:cacheprovider "$@" ;;
  test)
    "$0" cpp-test
    "$0" py-test "$@" ;;
  demo)
    install_pkg
    "$venv/bin/python" examples/demo.py ;;
  bench)
    install_pkg
    "$venv/bin/python" bench/bench.py "$@" ;;
  tsan)
    CC=clang CXX=clang++ native build/tsan -DQV_TESTS=ON -DQV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan -j"$jobs" --output-on-failure -R "${QV_TSAN_FILTER:-.}" ;;
  format)
    git ls-files '*.cpp' '*.hpp' | grep -v -e '_tables' -e '^third_party/' | xargs clang-format -i ;;
  shell)
    exec bash "$@" ;;
  *)
    echo "unknown task: $task" >&2; exit 2 ;;
esac
