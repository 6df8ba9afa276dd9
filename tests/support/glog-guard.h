// Routes GLib warnings and criticals into GoogleTest failures; lets a test expect some.
#pragma once

#include <glib.h>

#include <functional>
#include <string>

namespace testsupport {

void install_glog_handlers();

// While alive, log messages at `levels` containing `substring` are counted instead of failing.
class ExpectGLog {
 public:
  ExpectGLog(GLogLevelFlags levels, std::string substring);
  ~ExpectGLog();
  int count() const;

 private:
  int id_;
};

// Runs before gst_deinit, so suites can drop cached objects that the leaks tracer would report.
void add_teardown_hook(std::function<void()> hook);
void run_teardown_hooks();

// Warnings and criticals that no ExpectGLog claimed, including those logged after the tests
// ran (the leaks tracer reports at gst_deinit).
int unexpected_log_count();

}  // namespace testsupport
