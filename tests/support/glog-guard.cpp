#include "tests/support/glog-guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace testsupport {
namespace {

struct Expectation {
  int id;
  GLogLevelFlags levels;
  std::string substring;
  int count = 0;
};

std::mutex g_mutex;
std::vector<Expectation> g_expectations;
int g_next_id = 1;
std::vector<std::function<void()>> g_teardown;
std::atomic<int> g_unexpected_logs{0};

void
log_handler(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
  {
    std::lock_guard lock(g_mutex);
    for (auto &e : g_expectations) {
      if ((e.levels & level) && std::string(message).find(e.substring) != std::string::npos) {
        e.count++;
        return;
      }
    }
  }
  g_unexpected_logs++;
  fprintf(stderr, "unexpected GLib log (%s): %s\n", domain ? domain : "", message);
  ADD_FAILURE() << "unexpected GLib log (" << (domain ? domain : "") << "): " << message;
}

}  // namespace

void
install_glog_handlers()
{
  const GLogLevelFlags levels =
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);
  for (const char *domain : {static_cast<const char *>(nullptr), "GStreamer", "GLib-GObject",
                             "GLib", "base_plugins", "GStreamer-Check"}) {
    g_log_set_handler(domain, levels, log_handler, nullptr);
  }
  g_log_set_default_handler(
      [](const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data) {
        if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL))
          log_handler(domain, level, message, data);
        else
          g_log_default_handler(domain, level, message, data);
      },
      nullptr);
}

ExpectGLog::ExpectGLog(GLogLevelFlags levels, std::string substring)
{
  std::lock_guard lock(g_mutex);
  id_ = g_next_id++;
  g_expectations.push_back({id_, levels, std::move(substring)});
}

ExpectGLog::~ExpectGLog()
{
  std::lock_guard lock(g_mutex);
  std::erase_if(g_expectations, [this](const Expectation &e) { return e.id == id_; });
}

int
ExpectGLog::count() const
{
  std::lock_guard lock(g_mutex);
  for (const auto &e : g_expectations)
    if (e.id == id_) return e.count;
  return 0;
}

void
add_teardown_hook(std::function<void()> hook)
{
  g_teardown.push_back(std::move(hook));
}

void
run_teardown_hooks()
{
  for (auto &hook : g_teardown) hook();
  g_teardown.clear();
}

}  // namespace testsupport

namespace testsupport {
int
unexpected_log_count()
{
  return g_unexpected_logs.load();
}
}  // namespace testsupport
