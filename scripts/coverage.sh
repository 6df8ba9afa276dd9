#!/bin/bash
# Line and branch coverage of the product code under the GoogleTest suite.
#   scripts/coverage.sh              build into build-cov/, run the suite, print the summary
#   scripts/coverage.sh TEST...      the same over some of the suite's tests (meson test names)
#   scripts/coverage.sh --report     only print the summary of the last run
# Tests, fuzz targets, benchmarks and tools are not product code and stay out of the figures.
set -u
cd "$(dirname "$0")/.."
./scripts/install-deps.sh || exit 1
command -v gcovr >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr >/dev/null

dir=build-cov
if [ "${1:-}" != --report ]; then
  if [ ! -f $dir/build.ninja ]; then
    meson setup $dir -Db_coverage=true -Dbench=false -Dbuildtype=debug >$dir.setup.log 2>&1 ||
      { cat $dir.setup.log; exit 1; }
  fi
  ninja -C $dir >$dir.build.log 2>&1 || { tail -40 $dir.build.log; exit 1; }
  find $dir -name '*.gcda' -delete
  meson test -C $dir --num-processes 2 "$@" >$dir.test.log 2>&1 ||
    echo "(some tests failed; see $dir.test.log)"
fi

# gcovr's per-file table, summed per directory; branches exclude the compiler's exception paths.
gcovr -r . $dir --object-directory $dir --exclude-throw-branches --exclude-unreachable-branches \
  -e 'tests/' -e 'fuzz/' -e 'bench/' -e 'tools/' -e "$dir/" --json $dir/coverage.json -s |
  grep -E '^(lines|branches):' >/dev/null
python3 - $dir/coverage.json <<'PY'
import json, os, sys
from collections import defaultdict
data = json.load(open(sys.argv[1]))
per = defaultdict(lambda: [0, 0, 0, 0])
for f in data["files"]:
    d = os.path.dirname(f["file"])
    lines = [l for l in f["lines"] if not l.get("gcovr/noncode")]
    s = per[d]
    s[0] += sum(1 for l in lines if l["count"] > 0)
    s[1] += len(lines)
    for l in lines:
        for b in l.get("branches", []):
            s[2] += b["count"] > 0
            s[3] += 1
pct = lambda a, b: f"{100.0 * a / b:5.1f} %" if b else "    -  "
print(f"{'directory':40} {'lines':>18} {'branches':>18}")
tot = [0, 0, 0, 0]
for d in sorted(per):
    s = per[d]
    tot = [x + y for x, y in zip(tot, s)]
    print(f"{d:40} {pct(s[0], s[1])} {s[0]:5}/{s[1]:<5} {pct(s[2], s[3])} {s[2]:5}/{s[3]:<5}")
print(f"{'total':40} {pct(tot[0], tot[1])} {tot[0]:5}/{tot[1]:<5} {pct(tot[2], tot[3])} {tot[2]:5}/{tot[3]:<5}")
PY
