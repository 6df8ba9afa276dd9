// First-use cost of dynamicaudionormalizer: the time from the READY request to READY for the
// first instance in a process (which opens the normaliser library and libavfilter behind it)
// and for a second one, with the resident memory each adds. The module comes from
// GST_PLUGIN_PATH, as in a service process.
//   normalizer-first-use
#include <gst/gst.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

double
resident_mib()
{
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0.0;
}

// Milliseconds for NULL to READY; the element is kept so that the next one finds the library
// open.
double
to_ready(GstElement **element)
{
  *element = gst_element_factory_make("dynamicaudionormalizer", nullptr);
  if (!*element) return -1.0;
  gst_object_ref_sink(*element);
  const auto start = std::chrono::steady_clock::now();
  const GstStateChangeReturn ret = gst_element_set_state(*element, GST_STATE_READY);
  const auto end = std::chrono::steady_clock::now();
  if (ret != GST_STATE_CHANGE_SUCCESS) return -1.0;
  return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int
main(int argc, char **argv)
{
  gst_init(&argc, &argv);
  GstElement *first = nullptr, *second = nullptr;
  const double rss0 = resident_mib();
  const double first_ms = to_ready(&first);
  const double rss1 = resident_mib();
  const double second_ms = to_ready(&second);
  const double rss2 = resident_mib();
  if (first_ms < 0 || second_ms < 0) {
    std::fprintf(stderr, "dynamicaudionormalizer did not reach READY\n");
    return 1;
  }
  std::printf("first READY %.2f ms, +%.1f MiB resident; second READY %.3f ms, +%.1f MiB\n",
              first_ms, rss1 - rss0, second_ms, rss2 - rss1);
  for (GstElement *e : {first, second}) {
    gst_element_set_state(e, GST_STATE_NULL);
    gst_object_unref(e);
  }
  return 0;
}
