// Captures GStreamer debug log lines of one category while alive.
#pragma once

#include <gst/gst.h>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class GstLogCapture {
 public:
  struct Line {
    GstDebugLevel level;
    std::string message;
  };

  // Raises `category` to `threshold` and records its lines until destroyed.
  explicit GstLogCapture(const char *category, GstDebugLevel threshold = GST_LEVEL_DEBUG);
  ~GstLogCapture();
  GstLogCapture(const GstLogCapture &) = delete;
  GstLogCapture &operator=(const GstLogCapture &) = delete;

  std::vector<Line> lines() const;
  // Lines at exactly `level` whose message contains `text`.
  int count(GstDebugLevel level, const std::string &text) const;
  void clear();

 private:
  std::string category_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace testsupport
