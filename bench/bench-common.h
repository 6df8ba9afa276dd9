// Shared bits of the benchmark programs: plugin registration, timing a pipeline fed from
// pre-made buffers.
#pragma once

#include <gst/gst.h>

#include <string>
#include <vector>

namespace bench {

// gst_init plus the plugin registered in-process from the build tree.
void init(int *argc, char ***argv);

// Builds `description` (with an appsrc named "src" and a fakesink named "sink"), queues
// `buffers` (ownership taken) and EOS in the appsrc, and returns the milliseconds from
// PLAYING to EOS. Counts the buffers that reached the sink into *out_buffers.
double time_pipeline(const std::string &description, GstCaps *caps,
                     std::vector<GstBuffer *> buffers, guint64 *out_buffers);

double median(std::vector<double> values);

}  // namespace bench
