# Shared helpers for the benchmark scripts: build, environment, paired timing.
# Source it from a bench script; figures are whole-process wall times.

bench_setup() {
  cd "$(dirname "${BASH_SOURCE[1]}")/.."
  ./scripts/install-deps.sh
  [ -f build/build.ninja ] || meson setup build >/dev/null
  ninja -C build >/dev/null
  export GST_PLUGIN_PATH="$PWD/build/transcoding-plugins"
  export BASE_PLUGINS_NORMALIZER_LIBRARY="$PWD/build/dynamic-audio-normalizer/libdynamic-audio-normalizer.so"
  export GST_REGISTRY="$PWD/build/bench-registry.bin"
  gst-inspect-1.0 base_plugins >/dev/null  # warm the registry
  # Peers load the module too, so that its start-up cost (the GStreamer libraries it links) is on both
  # sides of a whole-process ratio.
  PRELOAD="--gst-plugin-load=$PWD/build/transcoding-plugins/libgstbase_plugins.so"
}

# bench_result ELEMENT PEER OURS PEER_TIME RATIO GOAL MET
# The line bench/all.sh collects into its summary table.
bench_result() {
  local IFS='|'
  echo "RESULT|$*"
}

# bench_pair LABEL RUNS "OUR COMMAND" "PEER COMMAND" [ELEMENT PEER_NAME MAX_RATIO]
# Runs the two alternately RUNS times after a warm-up and prints the medians and the median of
# the per-pair ratios (ours / peer); with ELEMENT, also the summary line for a goal of at most
# MAX_RATIO.
bench_pair() {
  local label=$1 runs=$2 ours=$3 peer=$4
  python3 - "$label" "$runs" "$ours" "$peer" "${5:-}" "${6:-}" "${7:-}" <<'PY'
import statistics, subprocess, sys, time
label, runs, ours, peer = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
element, peer_name, goal = sys.argv[5], sys.argv[6], sys.argv[7]
def once(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t
once(ours); once(peer)
a, b = [], []
for _ in range(runs):
    a.append(once(ours)); b.append(once(peer))
ratios = [x / y for x, y in zip(a, b)]
print(f"{label}: ours {statistics.median(a):.3f} s, peer {statistics.median(b):.3f} s, "
      f"ratio {statistics.median(ratios):.3f} (min {min(ratios):.3f}, max {max(ratios):.3f}, {runs} pairs)")
if element:
    r = statistics.median(ratios)
    print(f"RESULT|{element}|{peer_name}|{statistics.median(a):.3f} s|{statistics.median(b):.3f} s|"
          f"{r:.3f}|<= {goal}|{'yes' if r <= float(goal) else 'no'}")
PY
}
