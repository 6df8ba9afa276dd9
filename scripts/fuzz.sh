#!/bin/bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs one of them.
#   scripts/fuzz.sh                      list the targets
#   scripts/fuzz.sh TARGET [SECONDS]     run TARGET for SECONDS (default 60); an empty corpus
#                                        is seeded first (scripts/fuzz-seeds.sh)
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
if [ ! -f build-fuzz/build.ninja ]; then
  CC=clang CXX=clang++ meson setup build-fuzz -Dfuzzing=true -Db_sanitize=address,undefined \
    -Dtests=false -Dbench=false -Db_lundef=false >/dev/null
fi
ninja -C build-fuzz >/dev/null
if [ $# -eq 0 ]; then
  find build-fuzz/fuzz -maxdepth 1 -type f -name 'fuzz-*' -executable -printf '%f\n' | sort
  exit 0
fi
target=$1
seconds=${2:-60}
corpus=fuzz/corpus-$target
mkdir -p "$corpus"
# A new corpus starts from the conformance streams, where there are seeds for the target.
[ -n "$(ls -A "$corpus")" ] || ./scripts/fuzz-seeds.sh "$target" "$corpus"
# GLib's constructors leave a one-time allocation that LeakSanitizer would report at exit.
ASAN_OPTIONS=detect_leaks=0 G_SLICE=always-malloc GST_REGISTRY=build-fuzz/registry.bin \
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
