// Several pipelines in one process reading the same file at once, through cachedfilesrc or
// filesrc: bytes read from the disk (read(2)/readv(2) totals from /proc/self/io) per pipeline,
// wall time and peak resident memory.
//   cachedfilesrc-shared-bench FILE [pipelines=4] [blocksize=65536] ["middle ! elements"]
// Readers share cached blocks only while they stay within 8 MiB of each other: a middle part
// such as "identity sleep-time=100" paces them like real consumers.
#include <glib/gstdio.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench-common.h"

namespace {

long long
bytes_read_by_process()
{
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

long
peak_rss_kib()
{
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs `count` copies of the pipeline at once to EOS; returns the seconds taken.
double
run(const std::string &description, int count)
{
  std::vector<GstElement *> pipelines;
  for (int i = 0; i < count; ++i) {
    GError *error = nullptr;
    GstElement *p = gst_parse_launch(description.c_str(), &error);
    if (!p || error) {
      fprintf(stderr, "bad pipeline: %s\n", error ? error->message : description.c_str());
      exit(1);
    }
    pipelines.push_back(p);
  }
  const gint64 start = g_get_monotonic_time();
  for (GstElement *p : pipelines) gst_element_set_state(p, GST_STATE_PLAYING);
  for (GstElement *p : pipelines) {
    GstBus *bus = gst_element_get_bus(p);
    GstMessage *msg = gst_bus_timed_pop_filtered(
        bus, GST_CLOCK_TIME_NONE,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      fprintf(stderr, "pipeline failed\n");
      exit(1);
    }
    gst_message_unref(msg);
    gst_object_unref(bus);
  }
  const double seconds = (g_get_monotonic_time() - start) / 1e6;
  for (GstElement *p : pipelines) {
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
  }
  return seconds;
}

}  // namespace

int
main(int argc, char **argv)
{
  bench::init(&argc, &argv);
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE [pipelines] [blocksize]\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 4;
  const std::string blocksize = argc > 3 ? argv[3] : "65536";
  const std::string middle = argc > 4 ? std::string(argv[4]) + " ! " : "";
  GStatBuf st;
  g_stat(file.c_str(), &st);

  for (const char *factory : {"filesrc", "cachedfilesrc"}) {
    const std::string description = std::string(factory) + " location=\"" + file +
                                    "\" blocksize=" + blocksize + " ! " + middle + "fakesink";
    const long long before = bytes_read_by_process();
    const long rss_before = peak_rss_kib();
    const double seconds = run(description, count);
    const long long read = bytes_read_by_process() - before;
    printf("%d x %-13s blocksize %s%s%s: %.3f s, read from disk per pipeline %.1f MiB "
           "(file %.1f MiB, ratio %.3f), peak RSS %+ld KiB\n",
           count, factory, blocksize.c_str(), middle.empty() ? "" : ", ",
           middle.empty() ? "" : argv[4], seconds, read / count / 1048576.0,
           st.st_size / 1048576.0, static_cast<double>(read) / count / st.st_size,
           peak_rss_kib() - rss_before);
  }
  return 0;
}
