// AVC to byte-stream conversion: h264postprocessor (queue on) against the stock h264parse doing
// the same conversion, in-process on the same demuxed access units (fresh writable buffers, as
// the demuxer hands them over), so that loading the plugins is not timed.
//   h264-postprocessor-bench FILE.mp4 [repeats=4] [rounds=5]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench-common.h"

int
main(int argc, char **argv)
{
  bench::init(&argc, &argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.mp4 [repeats] [rounds]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 4;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  GstCaps *caps = nullptr;
  std::vector<GstBuffer *> units = bench::demux(argv[1], &caps);
  if (units.empty()) return 1;

  const std::string to_byte_stream =
      " ! video/x-h264,stream-format=byte-stream ! fakesink name=sink";
  const std::vector<std::pair<const char *, std::string>> cases = {
      {"appsrc only", "appsrc name=src ! fakesink name=sink"},
      {"h264parse", "appsrc name=src ! h264parse" + to_byte_stream},
      {"h264postprocessor", "appsrc name=src ! h264postprocessor" + to_byte_stream},
  };
  std::vector<std::vector<double>> times(cases.size());
  std::vector<guint64> counts(cases.size());
  for (int r = 0; r < rounds; ++r)
    for (size_t c = 0; c < cases.size(); ++c)
      times[c].push_back(bench::time_pipeline(
          cases[c].second, caps, bench::repeated(units, repeats, true), &counts[c]));
  std::vector<double> med;
  for (size_t c = 0; c < cases.size(); ++c) {
    med.push_back(bench::fastest(times[c]));
    std::printf("%-20s %8.1f ms (%" G_GUINT64_FORMAT " access units, fastest of %d)\n",
                cases[c].first, med[c], counts[c], rounds);
  }
  const double parse = med[1] - med[0], ours = med[2] - med[0];
  std::printf("own time ratio h264postprocessor / h264parse: %.2f (%.1f ms / %.1f ms)\n",
              ours / parse, ours, parse);
  std::printf("RESULT|h264postprocessor (AVC to byte-stream)|h264parse|%.1f ms|%.1f ms|%.2f|<= 1.0|%s\n",
              ours, parse, ours / parse, ours / parse <= 1.0 ? "yes" : "no");
  for (GstBuffer *u : units) gst_buffer_unref(u);
  gst_caps_unref(caps);
  return 0;
}
