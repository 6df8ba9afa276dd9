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
// `buffers` (ownership taken) and EOS in the appsrc, and returns the process CPU milliseconds
// from PLAYING to EOS. Counts the buffers that reached the sink into *out_buffers.
double time_pipeline(const std::string &description, GstCaps *caps,
                     std::vector<GstBuffer *> buffers, guint64 *out_buffers);

double median(std::vector<double> values);
// The fastest: on a shared machine noise only ever adds time.
double fastest(const std::vector<double> &values);

// The demuxed (qtdemux) units of the file at `path`; *caps gets the first caps.
std::vector<GstBuffer *> demux(const std::string &path, GstCaps **caps);

// `units` `repeats` times over, with timestamps continuing at 25 frames/s per unit. `deep`
// gives each buffer its own writable memory, as a demuxer hands it over; otherwise the copies
// share the memory of `units`.
std::vector<GstBuffer *> repeated(const std::vector<GstBuffer *> &units, int repeats, bool deep);

}  // namespace bench
