// Test main: GStreamer check environment, the plugin registered in-process, GoogleTest.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "tests/support/glog-guard.h"
#include "transcoding-plugins/base-plugins/plugin.h"

int
main(int argc, char **argv) {
  // Never write into the user's registry cache.
  if (!g_getenv("GST_REGISTRY")) g_setenv("GST_REGISTRY", "test-registry.bin", TRUE);
  // gst_init, not gst_check_init: the latter deinitialises at exit, after the leaks tracer
  // could still fail the run.
  gst_init(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  // Unexpected GLib warnings and criticals fail the running test instead of aborting.
  testsupport::install_glog_handlers();
  if (!gst_plugin_base_plugins_register())
    return fprintf(stderr, "registering base_plugins failed\n"), 1;
  const int ret = RUN_ALL_TESTS();
  const int before = testsupport::unexpected_log_count();
  gst_deinit();
  if (testsupport::unexpected_log_count() == before) return ret;
  return fprintf(stderr, "GLib warnings at shutdown (leaked objects?)\n"), 1;
}
