#!/bin/bash
# Builds the plugin and runs the whole test suite; ends with "N passed, M failed".
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   ASan+UBSan build in build-asan/
set -u
cd "$(dirname "$0")/.."
./scripts/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }

builddir=build
setup_args=()
if [ "${1:-}" = "--sanitize" ]; then
  builddir=build-asan
  setup_args=(-Db_sanitize=address,undefined -Db_lundef=false)
fi

if [ ! -f "$builddir/build.ninja" ]; then
  meson setup "$builddir" "${setup_args[@]}" >/dev/null || { echo "0 passed, 1 failed"; exit 1; }
fi
if ! ninja -C "$builddir" >"$builddir/build.log" 2>&1; then
  tail -50 "$builddir/build.log"
  echo "0 passed, 1 failed"
  exit 1
fi

rm -rf "$builddir/tests/results"
mkdir -p "$builddir/tests/results"
meson test -C "$builddir" --print-errorlogs --num-processes 2 >"$builddir/test.log" 2>&1
meson_status=$?
grep -E '^ *[0-9]+/[0-9]+ ' "$builddir/test.log"
if [ $meson_status -ne 0 ]; then
  grep -E -A12 '^\[ RUN|Failure|FAILED|ERROR|Sanitizer|runtime error' "$builddir/test.log" | \
    grep -vE '^\[ +(RUN|OK) ' | head -80
fi

# Count test cases (not executables) from GoogleTest's XML; a binary that died without
# writing its report counts as one failure.
python3 - "$builddir" "$meson_status" <<'PY'
import glob, os, sys, xml.etree.ElementTree as ET
builddir, meson_status = sys.argv[1], int(sys.argv[2])
passed = failed = skipped = 0
reports = glob.glob(os.path.join(builddir, "tests", "results", "*.xml"))
for path in reports:
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        failed += 1
        continue
    for case in root.iter("testcase"):
        if case.find("failure") is not None:
            failed += 1
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
        else:
            passed += 1
log = open(os.path.join(builddir, "test.log")).read()
# Executables that failed after writing a clean report (leaks at shutdown) or wrote none.
import re
bad = sorted(set(name for name, _ in re.findall(r"^\s*\d+/\d+ (\S+)\s+(FAIL|TIMEOUT)", log, re.M)))
for name in bad:
    report = os.path.join(builddir, "tests", "results", name + ".xml")
    try:
        clean = ET.parse(report).getroot().get("failures") == "0"
    except (OSError, ET.ParseError):
        clean = True  # no usable report: the binary died
    if clean:
        failed += 1
if meson_status != 0 and failed == 0:
    failed = 1
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed else 0)
PY
