#include "tests/support/gst-helpers.h"

#include <cstdio>
#include <mutex>

namespace testsupport {

Harness
make_harness(const char *factory, const char *src_caps, const char *sink_caps) {
  Harness h(gst_harness_new(factory));
  if (src_caps) gst_harness_set_src_caps_str(h.get(), src_caps);
  if (sink_caps) gst_harness_set_sink_caps_str(h.get(), sink_caps);
  return h;
}

GstBuffer *
make_buffer(gsize size, GstClockTime pts, GstClockTime duration, GstClockTime dts, guint8 fill) {
  return make_buffer(std::vector<guint8>(size, fill), pts, duration, dts);
}

GstBuffer *
make_buffer(const std::vector<guint8> &bytes, GstClockTime pts, GstClockTime duration,
            GstClockTime dts) {
  // gst_buffer_new_memdup refuses zero bytes.
  GstBuffer *buffer =
      bytes.empty() ? gst_buffer_new() : gst_buffer_new_memdup(bytes.data(), bytes.size());
  GST_BUFFER_PTS(buffer) = pts;
  GST_BUFFER_DURATION(buffer) = duration;
  GST_BUFFER_DTS(buffer) = dts;
  return buffer;
}

std::vector<guint8>
buffer_bytes(GstBuffer *buffer) {
  std::vector<guint8> out(gst_buffer_get_size(buffer));
  if (!out.empty()) gst_buffer_extract(buffer, 0, out.data(), out.size());
  return out;
}

GstEvent *
time_segment_event(GstClockTime start, GstClockTime stop, GstClockTime time) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = segment.position = start;
  segment.stop = stop, segment.time = time;
  return gst_event_new_segment(&segment);
}

std::vector<Ref<GstBuffer>>
pull_all(GstHarness *h) {
  std::vector<Ref<GstBuffer>> out;
  while (GstBuffer *b = gst_harness_try_pull(h)) out.push_back(gstref::adopt(b));
  return out;
}

std::vector<Ref<GstEvent>>
pull_all_events(GstHarness *h) {
  std::vector<Ref<GstEvent>> out;
  while (GstEvent *e = gst_harness_try_pull_event(h)) out.push_back(gstref::adopt(e));
  return out;
}

PipelineResult
run_pipeline(const std::string &description, int timeout_seconds,
             const std::function<void(GstBin *)> &prepare) {
  PipelineResult result;
  GError *error = nullptr;
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), &error));
  if (!pipeline || error) {
    result.error = error ? error->message : "parse failed";
    g_clear_error(&error);
    return result;
  }
  if (prepare) prepare(GST_BIN(pipeline.get()));
  Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  Ref<GstMessage> msg = gstref::adopt(
      gst_bus_timed_pop_filtered(bus.get(), timeout_seconds * GST_SECOND,
                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  gchar *debug = nullptr;
  if (!msg) {
    result.error = "timeout";
  } else if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(msg.get(), &error, &debug);
    result.error = std::string(error->message) + " (" + (debug ? debug : "") + ")";
    g_clear_error(&error);
    g_free(debug);
  }
  result.ok = result.error.empty();
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return result;
}

CollectResult
collect_buffers(const std::string &description, const char *sink_name, int timeout_seconds,
                const std::function<void(GstBin *)> &prepare) {
  struct Collector {
    std::mutex lock;
    CollectResult result;
  } collector;
  Ref<GstElement> sink;
  PipelineResult r = run_pipeline(description, timeout_seconds, [&](GstBin *bin) {
    sink = gstref::adopt(gst_bin_get_by_name(bin, sink_name));
    if (!sink) return;
    g_object_set(sink.get(), "signal-handoffs", TRUE, nullptr);
    g_signal_connect(sink.get(), "handoff",
                     G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *pad, Collector *c) {
                       Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(pad));
                       std::lock_guard lock(c->lock);
                       c->result.buffers.push_back(gstref::retain(buffer));
                       c->result.caps = std::move(caps);
                     }),
                     &collector);
    if (prepare) prepare(bin);
  });
  if (sink) g_signal_handlers_disconnect_by_data(sink.get(), &collector);
  collector.result.ok = r.ok && sink;
  collector.result.error = sink ? r.error : std::string("no element named ") + sink_name;
  return std::move(collector.result);
}

CommandResult
run_command(const std::string &command_line) {
  CommandResult result;
  FILE *pipe = popen(command_line.c_str(), "r");
  if (!pipe) return result;
  char chunk[4096];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) result.output.append(chunk, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool
have_factory(const char *name) {
  return static_cast<bool>(Ref<GstElementFactory>(gstref::adopt(gst_element_factory_find(name))));
}

bool
have_program(const char *name) {
  return run_command(std::string("command -v ") + name + " >/dev/null 2>&1").status == 0;
}

}  // namespace testsupport
