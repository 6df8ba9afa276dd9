#include "bench/bench-common.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>

#include "transcoding-plugins/base-plugins/plugin.h"

namespace bench {

namespace {

// CPU time of the whole process: the pipeline's threads work while this one waits on the bus,
// and on a shared machine wall time would also count the neighbours.
double
process_cpu_ms()
{
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

}  // namespace

void
init(int *argc, char ***argv)
{
  gst_init(argc, argv);
  if (!gst_plugin_base_plugins_register()) {
    std::fprintf(stderr, "registering base_plugins failed\n");
    std::exit(1);
  }
}

double
time_pipeline(const std::string &description, GstCaps *caps, std::vector<GstBuffer *> buffers,
              guint64 *out_buffers)
{
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline || error) {
    std::fprintf(stderr, "%s: %s\n", description.c_str(), error ? error->message : "?");
    std::exit(1);
  }
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, "max-bytes", G_GUINT64_CONSTANT(0),
               "max-buffers", G_GUINT64_CONSTANT(0), nullptr);
  g_object_set(sink, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
  guint64 count = 0;
  g_signal_connect(sink, "handoff",
                   G_CALLBACK(+[](GstElement *, GstBuffer *, GstPad *, gpointer n) {
                     ++*static_cast<guint64 *>(n);
                   }),
                   &count);
  // Queue everything before the clock starts: only the pipeline's own work is timed.
  for (GstBuffer *b : buffers) gst_app_src_push_buffer(GST_APP_SRC(src), b);
  gst_app_src_end_of_stream(GST_APP_SRC(src));

  GstBus *bus = gst_element_get_bus(pipeline);
  const double start = process_cpu_ms();
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstMessage *msg = gst_bus_timed_pop_filtered(
      bus, GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const double end = process_cpu_ms();
  if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
    GError *err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    std::fprintf(stderr, "%s: %s\n", description.c_str(), err->message);
    std::exit(1);
  }
  gst_message_unref(msg);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  *out_buffers = count;
  return end - start;
}

double
median(std::vector<double> values)
{
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double
fastest(const std::vector<double> &values)
{
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

std::vector<GstBuffer *>
demux(const std::string &path, GstCaps **caps)
{
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(
      ("filesrc location=" + path + " ! qtdemux ! appsink name=sink sync=false").c_str(),
      &error);
  if (!pipeline || error) {
    std::fprintf(stderr, "cannot demux %s\n", path.c_str());
    std::exit(1);
  }
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
repeated(const std::vector<GstBuffer *> &units, int repeats, bool deep)
{
  std::vector<GstBuffer *> out;
  const GstClockTime frame = GST_SECOND / 25;
  const GstClockTime span = units.size() * frame;
  for (int r = 0; r < repeats; ++r) {
    for (GstBuffer *u : units) {
      GstBuffer *b = deep ? gst_buffer_copy_deep(u) : gst_buffer_copy(u);
      GST_BUFFER_PTS(b) = GST_BUFFER_PTS(u) + r * span;
      GST_BUFFER_DTS(b) = GST_BUFFER_DTS(u) + r * span;
      out.push_back(b);
    }
  }
  return out;
}

}  // namespace bench
