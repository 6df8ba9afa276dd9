// h265parse ! h265postprocessor against h265parse alone on the same hvc1 stream, fed from
// pre-made buffers (the demuxed stream repeated with continuous timestamps).
//   h265-postprocessor-bench FILE.mp4 [repeats=20] [rounds=5]
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
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 20;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  GstCaps *caps = nullptr;
  std::vector<GstBuffer *> units = bench::demux(argv[1], &caps);
  if (units.empty()) return 1;

  const std::vector<std::pair<const char *, std::string>> cases = {
      {"appsrc only", "appsrc name=src ! fakesink name=sink"},
      {"h265parse", "appsrc name=src ! h265parse ! fakesink name=sink"},
      {"h265parse ! h265postprocessor",
       "appsrc name=src ! h265parse ! h265postprocessor ! fakesink name=sink"},
      // What any one more element costs: the floor under the postprocessor's figure.
      {"h265parse ! identity", "appsrc name=src ! h265parse ! identity ! fakesink name=sink"},
  };
  std::vector<std::vector<double>> times(cases.size());
  std::vector<guint64> counts(cases.size());
  for (int r = 0; r < rounds; ++r)
    for (size_t c = 0; c < cases.size(); ++c)
      times[c].push_back(
          bench::time_pipeline(cases[c].second, caps, bench::repeated(units, repeats, false),
                              &counts[c]));
  std::vector<double> med;
  for (size_t c = 0; c < cases.size(); ++c) {
    med.push_back(bench::fastest(times[c]));
    std::printf("%-32s %8.1f ms (%" G_GUINT64_FORMAT " buffers, fastest of %d)\n", cases[c].first,
                med[c], counts[c], rounds);
  }
  std::printf("postprocessor time / parser time: %.2f (%.1f ms / %.1f ms)\n",
              (med[2] - med[1]) / (med[1] - med[0]), med[2] - med[1], med[1] - med[0]);
  std::printf("identity time / parser time:      %.2f\n", (med[3] - med[1]) / (med[1] - med[0]));
  // Own times: the source's share taken out of both.
  const double ours = med[2] - med[0], parse = med[1] - med[0];
  std::printf("RESULT|h265parse ! h265postprocessor|h265parse|%.1f ms|%.1f ms|%.3f|<= 1.25|%s\n",
              ours, parse, ours / parse, ours / parse <= 1.25 ? "yes" : "no");
  for (GstBuffer *u : units) gst_buffer_unref(u);
  gst_caps_unref(caps);
  return 0;
}
