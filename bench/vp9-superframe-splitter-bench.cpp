// vp9superframesplitter against vp9parse splitting the same demuxed VP9 stream, fed from
// pre-made buffers (the stream repeated with continuous timestamps).
//   vp9-superframe-splitter-bench FILE.webm [repeats=40] [rounds=5]
#include <gst/app/gstappsink.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench-common.h"

namespace {

// The demuxed packets of `path` and their caps.
std::vector<GstBuffer *>
demux(const std::string &path, GstCaps **caps)
{
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(
      ("filesrc location=" + path + " ! matroskademux ! appsink name=sink sync=false").c_str(),
      &error);
  if (!pipeline || error) std::exit(1);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::vector<GstBuffer *> packets;
  while (GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    packets.push_back(gst_buffer_ref(gst_sample_get_buffer(s)));
    if (!*caps) *caps = gst_caps_ref(gst_sample_get_caps(s));
    gst_sample_unref(s);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return packets;
}

std::vector<GstBuffer *>
repeated(const std::vector<GstBuffer *> &packets, int repeats)
{
  std::vector<GstBuffer *> out;
  const GstClockTime frame = GST_SECOND / 25;
  for (int r = 0; r < repeats; ++r) {
    for (size_t i = 0; i < packets.size(); ++i) {
      GstBuffer *b = gst_buffer_copy(packets[i]);  // shares the memory
      GST_BUFFER_PTS(b) = GST_BUFFER_DTS(b) = (r * packets.size() + i) * frame;
      GST_BUFFER_DURATION(b) = frame;
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
    std::fprintf(stderr, "usage: %s FILE.webm [repeats] [rounds]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 40;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  GstCaps *caps = nullptr;
  std::vector<GstBuffer *> packets = demux(argv[1], &caps);
  if (packets.empty()) return 1;

  const std::vector<std::pair<const char *, std::string>> cases = {
      {"vp9superframesplitter", "appsrc name=src ! vp9superframesplitter ! fakesink name=sink"},
      {"vp9parse",
       "appsrc name=src ! vp9parse ! video/x-vp9,alignment=frame ! fakesink name=sink"},
  };
  std::vector<std::vector<double>> times(cases.size());
  std::vector<guint64> counts(cases.size());
  for (int r = 0; r < rounds; ++r)
    for (size_t c = 0; c < cases.size(); ++c)
      times[c].push_back(
          bench::time_pipeline(cases[c].second, caps, repeated(packets, repeats), &counts[c]));

  const size_t total = packets.size() * repeats;
  std::printf("%zu packets (%zu x %d), %d rounds (median)\n", total, packets.size(), repeats,
              rounds);
  for (size_t c = 0; c < cases.size(); ++c) {
    const double ms = bench::median(times[c]);
    std::printf("  %-22s %8.1f ms  %6.2f us/packet  %lu frames out\n", cases[c].first, ms,
                ms * 1000 / total, static_cast<unsigned long>(counts[c]));
  }
  const double ours = bench::median(times[0]) * 1000 / total;
  const double peer = bench::median(times[1]) * 1000 / total;
  std::printf("RESULT|vp9superframesplitter|vp9parse|%.2f us/packet|%.2f us/packet|%.3f|<= 1.0|%s\n",
              ours, peer, ours / peer, ours <= peer ? "yes" : "no");
  for (GstBuffer *b : packets) gst_buffer_unref(b);
  gst_caps_unref(caps);
  return 0;
}
