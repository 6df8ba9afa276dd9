// Throughput of h264parse ! h264processor against h264parse alone on the same AVC access
// units, pushed from memory. Prints the time per access unit of each and the ratio.
//   bench/h264-processor.sh [FRAMES] [ROUNDS]
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Stream {
  GstCaps *caps = nullptr;
  std::vector<GstBuffer *> buffers;
};

void
collect(GstElement *, GstBuffer *buffer, GstPad *pad, gpointer user_data)
{
  auto *s = static_cast<Stream *>(user_data);
  if (!s->caps) s->caps = gst_pad_get_current_caps(pad);
  s->buffers.push_back(gst_buffer_ref(buffer));
}

Stream
encode(int frames)
{
  Stream s;
  const std::string desc =
      "videotestsrc num-buffers=" + std::to_string(frames) +
      " pattern=ball ! video/x-raw,format=I420,width=64,height=64,framerate=25/1 ! "
      "x264enc byte-stream=false key-int-max=50 bframes=2 speed-preset=ultrafast ! h264parse ! "
      "video/x-h264,stream-format=avc,alignment=au ! "
      "fakesink name=sink signal-handoffs=true sync=false";
  GstElement *pipeline = gst_parse_launch(desc.c_str(), nullptr);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_signal_connect(sink, "handoff", G_CALLBACK(collect), &s);
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(pipeline);
  gst_message_unref(gst_bus_timed_pop_filtered(
      bus, GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return s;
}

// CPU time of this thread: the harness pushes synchronously, so this is the chain's own work
// without the waits of a machine shared with other jobs.
double
thread_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// CPU seconds to push every buffer through `chain` and drain it.
double
run(const Stream &s, const char *chain)
{
  GstHarness *h = gst_harness_new_parse(chain);
  gst_harness_set_src_caps(h, gst_caps_copy(s.caps));
  gst_harness_set_drop_buffers(h, TRUE);
  const double t0 = thread_seconds();
  for (GstBuffer *b : s.buffers) {
    // A fresh buffer each time, as a demuxer would hand over: the parser may write to it.
    GstBuffer *copy = gst_buffer_copy(b);
    gst_harness_push(h, copy);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  const double t1 = thread_seconds();
  gst_harness_teardown(h);
  return t1 - t0;
}

// The fastest round: on a shared machine the slower ones measure the neighbours.
double
fastest(const std::vector<double> &v)
{
  return *std::min_element(v.begin(), v.end());
}

}  // namespace

int
main(int argc, char **argv)
{
  gst_init(&argc, &argv);
  const int frames = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  Stream s = encode(frames);
  if (!s.caps || s.buffers.empty()) {
    std::fprintf(stderr, "encoding failed\n");
    return 1;
  }
  std::vector<double> parse, both;
  for (int i = 0; i < rounds; ++i) {
    // Interleaved so that both see the same machine load.
    parse.push_back(run(s, "h264parse"));
    both.push_back(run(s, "h264parse ! h264processor"));
  }
  const double n = static_cast<double>(s.buffers.size());
  const double p = fastest(parse), b = fastest(both);
  std::printf("access units: %zu, rounds: %d (fastest round of each)\n", s.buffers.size(), rounds);
  std::printf("h264parse:                 %8.2f us/AU\n", p / n * 1e6);
  std::printf("h264parse ! h264processor: %8.2f us/AU\n", b / n * 1e6);
  std::printf("added by h264processor:    %8.2f us/AU (%.1f%% of h264parse)\n",
              (b - p) / n * 1e6, (b - p) / p * 100.0);
  std::printf("RESULT|h264parse ! h264processor|h264parse|%.2f us/AU|%.2f us/AU|%.3f|<= 1.25|%s\n",
              b / n * 1e6, p / n * 1e6, b / p, b / p <= 1.25 ? "yes" : "no");
  for (GstBuffer *buf : s.buffers) gst_buffer_unref(buf);
  gst_caps_unref(s.caps);
  return 0;
}
