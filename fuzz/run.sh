#!/usr/bin/env bash
# Fuzzes the graph kernel for a bounded time.
#
#   fuzz/run.sh SECONDS [libFuzzer options...]
#
# Builds the fuzzer if needed (fuzz/build.sh), then runs it from a scratch
# copy of the seed corpus fuzz/corpus/, so the repository is not modified.
# QUORL_FUZZER=snapshot_fuzzer fuzzes snapshot restores instead, from
# fuzz/corpus-snapshot/.
# Prints the number of executions and the coverage reached, and exits
# non-zero on any crash, sanitizer report, model mismatch or timeout. A crash
# leaves its input in the scratch directory, whose path is printed; saved
# under fuzz/corpus/, it becomes a regression seed. QUORL_FUZZ_KEEP=1 keeps
# the scratch directory after a clean run too.
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ || $1 -lt 1 ]]; then
    echo "usage: $0 SECONDS [libFuzzer options...]" >&2
    exit 2
fi
seconds=$1
shift

repo=$(cd "$(dirname "$0")/.." && pwd)
fuzzer=$("$repo/fuzz/build.sh" "${QUORL_FUZZER:-kernel_fuzzer}")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorl-fuzz.XXXXXX")
mkdir -p "$scratch/corpus" "$scratch/artifacts"
seeds=$repo/fuzz/corpus
[[ ${QUORL_FUZZER:-kernel_fuzzer} == kernel_fuzzer ]] || seeds=$seeds-${QUORL_FUZZER%_fuzzer}
cp "$seeds"/* "$scratch/corpus/"

# Leaks count as failures: the kernel owns everything it allocates.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

echo "fuzz: running $fuzzer for ${seconds}s in $scratch" >&2
status=0
"$fuzzer" "$scratch/corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" "$@" \
    >"$scratch/log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/log" | tail -n 1)
coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$scratch/log" | tail -n 1 || true)
artifacts=("$scratch"/artifacts/*)
if [[ $status -ne 0 || -e ${artifacts[0]} || -z $executions ]]; then
    tail -n 60 "$scratch/log" >&2
    echo "fuzz: FAILED (exit $status); log and inputs kept in $scratch" >&2
    for a in "${artifacts[@]}"; do
        [[ -e $a ]] && echo "fuzz: reproduce with: $fuzzer $a   (QUORL_FUZZ_TRACE=1 lists the calls)" >&2
    done
    exit $(( status != 0 ? status : 1 ))
fi
echo "fuzz: executions: $executions"
echo "fuzz: final $coverage"
if [[ -n ${QUORL_FUZZ_KEEP:-} ]]; then
    echo "fuzz: corpus and log kept in $scratch" >&2
else
    rm -rf "$scratch"
fi
