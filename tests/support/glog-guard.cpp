#include "tests/support/glog-guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace testsupport {
namespace {

std::mutex g_mutex;
std::vector<ExpectGLog *> g_expectations;
std::atomic<int> g_unexpected_logs{0};

void
log_handler(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer) {
  if (!(level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL)))
    return g_log_default_handler(domain, level, message, nullptr);
  {
    std::lock_guard lock(g_mutex);
    for (ExpectGLog *e : g_expectations)
      if (e->claim(level, message)) return;
  }
  g_unexpected_logs++;
  fprintf(stderr, "unexpected GLib log (%s): %s\n", domain ? domain : "", message);
  ADD_FAILURE() << "unexpected GLib log (" << (domain ? domain : "") << "): " << message;
}

}  // namespace

void
install_glog_handlers() {
  const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);
  for (const char *domain : {static_cast<const char *>(nullptr), "GStreamer", "GLib-GObject",
                             "GLib", "base_plugins", "GStreamer-Check"})
    g_log_set_handler(domain, levels, log_handler, nullptr);
  g_log_set_default_handler(log_handler, nullptr);
}

ExpectGLog::ExpectGLog(GLogLevelFlags levels, std::string substring)
    : levels_(levels), substring_(std::move(substring)) {
  std::lock_guard lock(g_mutex);
  g_expectations.push_back(this);
}

ExpectGLog::~ExpectGLog() {
  std::lock_guard lock(g_mutex);
  std::erase(g_expectations, this);
}

bool
ExpectGLog::claim(GLogLevelFlags level, const char *message) {
  const bool mine = (levels_ & level) && std::string(message).find(substring_) != std::string::npos;
  return count_ += mine, mine;
}

int
ExpectGLog::count() const {
  std::lock_guard lock(g_mutex);
  return count_;
}

int
unexpected_log_count() {
  return g_unexpected_logs.load();
}

}  // namespace testsupport
