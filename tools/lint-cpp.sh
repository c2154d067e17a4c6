#!/usr/bin/env bash
# Checks the C++ with pinned clang-format and clang-tidy (.clang-format,
# .clang-tidy at the repository root).
#
#   tools/lint-cpp.sh          check formatting, then run clang-tidy on src/
#   tools/lint-cpp.sh --fix    apply the formatting in place, then run clang-tidy
#
# Environment: PYTHON (default python3) makes the tools' venv and configures
# CMake; QUORL_LINT_VENV (default build/lint-venv, reused when present) and
# QUORL_LINT_BUILD (default build/lint) are where they go.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
python=${PYTHON:-python3}
venv=${QUORL_LINT_VENV:-$repo/build/lint-venv}
build=${QUORL_LINT_BUILD:-$repo/build/lint}
fix=false
case "${1:-}" in
"") ;;
--fix) fix=true ;;
*) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

# The tools' versions are pinned in pyproject.toml (dependency group lint-cpp).
if [[ ! -x $venv/bin/python ]]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --group "$repo/pyproject.toml:lint-cpp"

# The Unicode table keeps its generator's layout.
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' | grep -vx 'src/core/unicode_table.hpp')
if $fix; then
    "$venv/bin/clang-format" -i "${files[@]}"
else
    "$venv/bin/clang-format" --dry-run --Werror "${files[@]}"
fi

# The bindings need the Python headers' flags, so clang-tidy reads them from
# a configured build; headers under src/ are checked through the sources.
cmake -S . -B "$build" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
# One file per process, as many at once as there are cores; the count of
# suppressed warnings in system headers each one prints is dropped.
git ls-files 'src/*.cpp' |
    xargs -P "$(nproc)" -n 1 "$venv/bin/clang-tidy" -p "$build" --quiet --warnings-as-errors='*' \
        2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2)
