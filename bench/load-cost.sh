#!/bin/bash
# What loading the module costs a process that does not normalise audio, whole process: a
# one-buffer pipeline through bufferskip against the same through identity, alternated in the
# same run; medians of RUNS pairs (wall time, and peak resident memory as /usr/bin/time -v
# reports it). Then the first-use cost of dynamicaudionormalizer: the time from
# the READY request to READY, which opens the normaliser library.
# Goals: at most 1.15x identity's wall time, at most +4 MiB peak memory.
#   bench/load-cost.sh            RUNS=15 bench/load-cost.sh
set -eu
cd "$(dirname "$0")/.."
runs=${RUNS:-11}
[ -f build/build.ninja ] || meson setup build >/dev/null
meson configure build -Dbench=true >/dev/null
ninja -C build transcoding-plugins/libgstbase_plugins.so \
  dynamic-audio-normalizer/libdynamic-audio-normalizer.so bench/normalizer-first-use >/dev/null
export GST_PLUGIN_PATH=$PWD/build/transcoding-plugins
export BASE_PLUGINS_NORMALIZER_LIBRARY=$PWD/build/dynamic-audio-normalizer/libdynamic-audio-normalizer.so
export GST_REGISTRY=$PWD/build/bench-registry.bin
gst-inspect-1.0 base_plugins >/dev/null  # warm the registry

python3 - "$runs" <<'PY'
import statistics, subprocess, sys, time
runs = int(sys.argv[1])

# Peak memory from /usr/bin/time: a child forked from Python would count Python's pages.
def once(element):
    cmd = ["/usr/bin/time", "-f", "%M", "gst-launch-1.0", "-q", "fakesrc", "num-buffers=1", "!",
           element, "!", "fakesink"]
    t = time.perf_counter()
    r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    return time.perf_counter() - t, int(r.stderr.split()[-1]) / 1024.0

once("bufferskip"); once("identity")
ours, peer = [], []
for _ in range(runs):
    ours.append(once("bufferskip")); peer.append(once("identity"))
ratios = [a[0] / b[0] for a, b in zip(ours, peer)]
wall_a, wall_b = statistics.median(x[0] for x in ours), statistics.median(x[0] for x in peer)
rss_a, rss_b = statistics.median(x[1] for x in ours), statistics.median(x[1] for x in peer)
ratio, extra = statistics.median(ratios), rss_a - rss_b
print(f"bufferskip {wall_a * 1000:.1f} ms, {rss_a:.1f} MiB; identity {wall_b * 1000:.1f} ms, "
      f"{rss_b:.1f} MiB (medians of {runs} pairs)")
print(f"wall ratio {ratio:.3f} (min {min(ratios):.3f}, max {max(ratios):.3f}), "
      f"peak memory {extra:+.1f} MiB")
met = ratio <= 1.15 and extra <= 4.0
print(f"RESULT|module load (bufferskip, 1 buffer, whole process)|identity|{wall_a:.3f} s|"
      f"{wall_b:.3f} s|{ratio:.3f}|<= 1.15, <= +4 MiB ({extra:+.1f} MiB)|{'yes' if met else 'no'}")
PY
for _ in 1 2 3; do build/bench/normalizer-first-use; done
