// Routes GLib warnings and criticals into GoogleTest failures; lets a test expect some.
#pragma once

#include <glib.h>

#include <string>

namespace testsupport {

void install_glog_handlers();

// While alive, log messages at `levels` containing `substring` are counted instead of failing.
class ExpectGLog {
 public:
  ExpectGLog(GLogLevelFlags levels, std::string substring);
  ~ExpectGLog();
  int count() const;
  // Counts `message` when it is one of these (under the handler's lock).
  bool claim(GLogLevelFlags level, const char *message);

 private:
  GLogLevelFlags levels_;
  std::string substring_;
  int count_ = 0;
};

// Warnings and criticals that no ExpectGLog claimed, including those logged after the tests
// ran (the leaks tracer reports at gst_deinit).
int unexpected_log_count();

}  // namespace testsupport
