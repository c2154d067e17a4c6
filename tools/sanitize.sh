#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++) into a private venv and runs the test suite against that build.
# Exits non-zero on a failing test and on any sanitizer report, including
# reports from Python subprocesses that the tests start.
#
#   tools/sanitize.sh [pytest arguments...]
#
# Environment: PYTHON (interpreter for the venv, default python3),
# QUORL_SANITIZE_DIR (venv and build tree, default /tmp/quorl-sanitize).
# The default python3 and the repository are left untouched.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
work=${QUORL_SANITIZE_DIR:-/tmp/quorl-sanitize}
venv=$work/venv
build=$work/build
reports=$work/reports

command -v g++ >/dev/null || { echo "sanitize: g++ is required" >&2; exit 2; }
asan_runtime=$(g++ -print-file-name=libasan.so)
cxx_runtime=$(g++ -print-file-name=libstdc++.so)
[[ -e $asan_runtime ]] || {
    echo "sanitize: g++ has no AddressSanitizer runtime (libasan); install it, e.g. apt-get install libasan8" >&2
    exit 2
}

mkdir -p "$work"
if [[ ! -x $venv/bin/python ]]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
# The build runs without isolation so that the sanitizer flags below reach
# the one CMake configuration that is built.
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja

# -fno-sanitize-recover makes undefined behaviour abort instead of printing
# and going on, so that it fails the run.
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
echo "sanitize: building with $flags" >&2
"$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -C build-dir="$build" \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.CMAKE_CXX_COMPILER=g++ \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
    -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    "$repo"
# The test extras, read from pyproject.toml: installing '.[test]' would
# replace the instrumented build with an isolated, uninstrumented one.
mapfile -t extras < <("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
' "$repo/pyproject.toml")
"$venv/bin/python" -m pip install -q "${extras[@]}"

# Refuse to report a clean run of a build that has no sanitizer in it.
module=$(find "$venv" -name '_quorl*.so' -print -quit)
[[ -n $module && -f $module ]] || { echo "sanitize: built module not found in $venv" >&2; exit 2; }
# Read the symbols first: grep -q stops at its first match, and with pipefail
# the SIGPIPE that nm then gets would fail the test on a large module.
symbols=$(nm -D "$module")
if ! grep -q ' U __asan_init' <<<"$symbols" || ! grep -q '__ubsan_handle' <<<"$symbols"; then
    echo "sanitize: $module is not instrumented (no __asan_init / __ubsan_handle_* imports)" >&2
    exit 2
fi
echo "sanitize: instrumented module $module" >&2

# Reports go to files so that a report from any process, subprocesses of the
# tests included, fails the run even when that process's own exit is
# swallowed. Leak checking is off: the interpreter itself leaks at exit.
rm -rf "$reports"
mkdir -p "$reports"
status=0
(
    cd "$repo"
    # The C++ runtime is preloaded too: the interpreter does not link it, and
    # the sanitizer can only intercept exceptions thrown through a runtime
    # that was loaded when it started.
    export LD_PRELOAD="$asan_runtime $cxx_runtime"
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    # Python objects come from malloc too, so that the sanitizer sees them.
    export PYTHONMALLOC=malloc
    # The tests must import the instrumented build, never a source tree.
    export PYTHONPATH=
    exec "$venv/bin/python" -m pytest -p no:cacheprovider -q "$@" tests
) || status=$?

shopt -s nullglob
found=("$reports"/*)
if (( ${#found[@]} > 0 )); then
    echo "sanitize: sanitizer reports:" >&2
    for f in "${found[@]}"; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    (( status != 0 )) || status=1
fi
if (( status != 0 )); then
    echo "sanitize: FAILED (exit $status)" >&2
else
    echo "sanitize: no sanitizer reports" >&2
fi
exit "$status"
