#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer): one binary per fuzz/*_fuzzer.cpp, linked with
# src/core and the shared harness in fuzz/harness/.
#
#   fuzz/build.sh [TARGET]   prints the path of TARGET (default kernel_fuzzer)
#
# Environment: QUORL_FUZZ_CXX (a clang++ to use), QUORL_FUZZ_BUILD (build
# directory, default build/fuzz, which git ignores). A clang with libFuzzer
# is looked for first; only when none is found, and only as root with
# apt-get, are Debian's clang-19 packages installed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
out=${QUORL_FUZZ_BUILD:-$repo/build/fuzz}
log() { echo "fuzz: $*" >&2; }

# A compiler qualifies when it builds and links a libFuzzer target from
# C++23 code that uses what the kernel uses (<expected>, aggregate CTAD).
probe() {
    local cxx=$1 dir
    dir=$(mktemp -d)
    cat > "$dir/probe.cpp" <<'EOF'
#include <cstddef>
#include <cstdint>
#include <expected>
template <class... Fs> struct Overloaded : Fs... { using Fs::operator()...; };
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t size) {
    std::expected<int, int> e = static_cast<int>(size);
    return Overloaded{[](int) { return 0; }}(*e);
}
EOF
    "$cxx" -std=c++23 -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
    local status=$?
    rm -rf "$dir"
    return $status
}

find_cxx() {
    local c
    for c in ${QUORL_FUZZ_CXX:-} clang++-19 clang++-20 clang++-18 clang++-17 clang++; do
        if command -v "$c" >/dev/null 2>&1 && probe "$c"; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

if ! cxx=$(find_cxx); then
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null 2>&1; then
        log "no clang with libFuzzer and C++23 support found;"
        log "installing clang-19 and libclang-rt-19-dev from Debian's packages (apt-get)"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2
        apt-get install -y -qq clang-19 libclang-rt-19-dev >&2
        cxx=$(find_cxx) || { log "clang-19 installed but still cannot build a fuzzer"; exit 2; }
    else
        log "no clang with libFuzzer and C++23 support found; install one (17 or later)"
        log "with its runtime, e.g.: apt-get install clang-19 libclang-rt-19-dev"
        exit 2
    fi
fi

target=${1:-kernel_fuzzer}
if [[ ! -f $repo/fuzz/$target.cpp ]]; then
    log "no fuzz target $target (fuzz/$target.cpp)"
    exit 2
fi
sources=("$repo"/src/core/*.hpp "$repo"/src/core/*.cpp "$repo"/fuzz/harness/* "$repo"/fuzz/*_fuzzer.cpp "$0")
stamp=$( { "$cxx" --version; cat "${sources[@]}"; } | sha256sum | cut -d' ' -f1)
if [[ -x $out/$target && -f $out/stamp && $(cat "$out/stamp") == "$stamp" ]]; then
    echo "$out/$target"
    exit 0
fi
log "building with $cxx into $out"

rm -rf "$out"
mkdir -p "$out/core" "$out/harness" "$out/targets"

common=(-std=c++23 -g -O1 -fno-omit-frame-pointer -I"$repo/src" -I"$repo/fuzz" -Wall -Wextra -Werror
        -fsanitize=address,undefined -fno-sanitize-recover=undefined
        # Bounds checks in the standard containers, and reads past a
        # vector's size into its spare capacity reported as overflows.
        -D_GLIBCXX_ASSERTIONS -D_GLIBCXX_SANITIZE_VECTOR)

for f in "$repo"/src/core/*.cpp; do
    "$cxx" "${common[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$out/core/$(basename "${f%.cpp}").o"
done

# The harness gets edge coverage but no comparison tracing: its many
# comparisons would cost more time than they give guidance.
harness=("${common[@]}" -fsanitize=fuzzer-no-link -fno-sanitize-coverage=trace-cmp)
for f in "$repo"/fuzz/harness/*.cpp; do
    "$cxx" "${harness[@]}" -c "$f" -o "$out/harness/$(basename "${f%.cpp}").o"
done
for f in "$repo"/fuzz/*_fuzzer.cpp; do
    name=$(basename "${f%.cpp}")
    "$cxx" "${harness[@]}" -c "$f" -o "$out/targets/$name.o"
    "$cxx" "${common[@]}" -fsanitize=fuzzer "$out"/core/*.o "$out"/harness/*.o "$out/targets/$name.o" \
        -o "$out/$name"
done
echo "$stamp" > "$out/stamp"
echo "$out/$target"
