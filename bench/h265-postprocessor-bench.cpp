// h265parse ! h265postprocessor against h265parse alone on the same hvc1 stream, fed from
// pre-made buffers (the demuxed stream repeated with continuous timestamps).
//   h265-postprocessor-bench FILE.mp4 [repeats=20] [rounds=5]
#include <gst/app/gstappsink.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench-common.h"

namespace {

// The demuxed access units of `path` and their caps.
std::vector<GstBuffer *>
demux(const std::string &path, GstCaps **caps)
{
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(
      ("filesrc location=" + path + " ! qtdemux ! appsink name=sink sync=false").c_str(),
      &error);
  if (!pipeline || error) std::exit(1);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::vector<GstBuffer *> units;
  while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    units.push_back(gst_buffer_ref(gst_sample_get_buffer(s)));
    if (!*caps) *caps = gst_caps_ref(gst_sample_get_caps(s));
    gst_sample_unref(s);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return units;
}

std::vector<GstBuffer *>
repeated(const std::vector<GstBuffer *> &units, int repeats)
{
  std::vector<GstBuffer *> out;
  const GstClockTime frame = GST_SECOND / 25;
  const GstClockTime span = units.size() * frame;
  for (int r = 0; r < repeats; ++r) {
    for (GstBuffer *u : units) {
      GstBuffer *b = gst_buffer_copy(u);  // shares the memory
      GST_BUFFER_PTS(b) = GST_BUFFER_PTS(u) + r * span;
      GST_BUFFER_DTS(b) = GST_BUFFER_DTS(u) + r * span;
      out.push_back(b);
    }
  }
  return out;
}

}  // namespace

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
  std::vector<GstBuffer *> units = demux(argv[1], &caps);
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
          bench::time_pipeline(cases[c].second, caps, repeated(units, repeats), &counts[c]));
  std::vector<double> med;
  for (size_t c = 0; c < cases.size(); ++c) {
    med.push_back(bench::median(times[c]));
    std::printf("%-32s %8.1f ms (%" G_GUINT64_FORMAT " buffers, median of %d)\n", cases[c].first,
                med[c], counts[c], rounds);
  }
  std::printf("postprocessor time / parser time: %.2f (%.1f ms / %.1f ms)\n",
              (med[2] - med[1]) / (med[1] - med[0]), med[2] - med[1], med[1] - med[0]);
  std::printf("identity time / parser time:      %.2f\n", (med[3] - med[1]) / (med[1] - med[0]));
  for (GstBuffer *u : units) gst_buffer_unref(u);
  gst_caps_unref(caps);
  return 0;
}
