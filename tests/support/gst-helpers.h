// Small helpers for element tests: harness handle, buffers, segments, pipelines, commands.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transcoding-plugins/common/gst-ref.h"

namespace testsupport {

using gstref::Ref;

struct HarnessDeleter {
  void operator()(GstHarness *h) const { gst_harness_teardown(h); }
};
using Harness = std::unique_ptr<GstHarness, HarnessDeleter>;

// A harness around a new element of `factory`, with src/sink caps given as strings
// (nullptr for none).
Harness make_harness(const char *factory, const char *src_caps = nullptr,
                     const char *sink_caps = nullptr);

constexpr GstClockTime ms(guint64 v) { return v * GST_MSECOND; }

// A buffer of `size` bytes filled with `fill`.
GstBuffer *make_buffer(gsize size, GstClockTime pts = GST_CLOCK_TIME_NONE,
                       GstClockTime duration = GST_CLOCK_TIME_NONE,
                       GstClockTime dts = GST_CLOCK_TIME_NONE, guint8 fill = 0);
GstBuffer *make_buffer(const std::vector<guint8> &bytes, GstClockTime pts = GST_CLOCK_TIME_NONE,
                       GstClockTime duration = GST_CLOCK_TIME_NONE,
                       GstClockTime dts = GST_CLOCK_TIME_NONE);
std::vector<guint8> buffer_bytes(GstBuffer *buffer);

GstEvent *time_segment_event(GstClockTime start, GstClockTime stop = GST_CLOCK_TIME_NONE,
                             GstClockTime time = 0);

// Pulls every buffer currently queued on the harness sink.
std::vector<Ref<GstBuffer>> pull_all(GstHarness *h);
// Pulls every event currently queued on the harness sink.
std::vector<Ref<GstEvent>> pull_all_events(GstHarness *h);

struct PipelineResult {
  bool ok = false;
  std::string error;  // first ERROR message's text and debug, if any
};
// Runs a gst-launch style pipeline to EOS (or error, or the timeout).
// `prepare`, if given, sees the pipeline before it starts (to add probes, connect signals).
PipelineResult run_pipeline(const std::string &description, int timeout_seconds = 60,
                            const std::function<void(GstBin *)> &prepare = {});

struct CollectResult {
  bool ok = false;
  std::string error;
  std::vector<Ref<GstBuffer>> buffers;  // in arrival order
  Ref<GstCaps> caps;                    // the sink's caps at the last buffer
};
// Runs a pipeline that contains a fakesink named `sink_name` to EOS and keeps every buffer
// that reaches it.
CollectResult collect_buffers(const std::string &description, const char *sink_name = "sink",
                              int timeout_seconds = 60,
                              const std::function<void(GstBin *)> &prepare = {});

struct CommandResult {
  int status = -1;
  std::string output;  // stdout only
};
CommandResult run_command(const std::string &command_line);

bool have_factory(const char *name);
bool have_program(const char *name);

}  // namespace testsupport
