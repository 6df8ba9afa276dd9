#include "transcoding-plugins/base-plugins/plugin.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/element.h"

namespace {

using testsupport::Ref;

TEST(PluginRegistration, StockVideoParsersAreDemoted)
{
  for (const char *name : {"mpegvideoparse", "mpeg4videoparse", "h264parse", "h265parse"}) {
    Ref<GstElementFactory> f = gstref::adopt(gst_element_factory_find(name));
    if (!f) continue;  // a missing stock parser is skipped
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f.get())), GST_RANK_NONE) << name;
  }
}

std::vector<int> g_calls;

// A registration that fails in the middle leaves the later ones to run, real factories among
// them, and makes the whole report failure.
TEST(PluginRegistration, FailureInTheMiddle_LaterOnesStillRun)
{
  constexpr std::array<ElementRegisterFunc, 4> order = {
      [](GstPlugin *) -> gboolean { return g_calls.push_back(1), TRUE; },
      [](GstPlugin *) -> gboolean { return g_calls.push_back(2), FALSE; },
      [](GstPlugin *p) -> gboolean {
        g_calls.push_back(3);
        return gst_element_register(p, "bpregistrationprobe", GST_RANK_NONE, GST_TYPE_BIN);
      },
      [](GstPlugin *) -> gboolean { return g_calls.push_back(4), TRUE; }};
  EXPECT_FALSE(element_register_all(nullptr, order));
  EXPECT_EQ(g_calls, (std::vector<int>{1, 2, 3, 4}));
  Ref<GstElement> e = gstref::adopt(gst_element_factory_make("bpregistrationprobe", nullptr));
  ASSERT_TRUE(e);
  gst_object_ref_sink(e.get());
  EXPECT_TRUE(element_register_all(nullptr, std::array<ElementRegisterFunc, 1>{order[0]}));
}

// Every factory makes an element whose own properties all read back their declared defaults:
// construct-time defaults are applied and every property has a getter.
TEST(PluginRegistration, EveryElementStartsWithItsDefaults)
{
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "base_plugins");
  guint elements = 0;
  for (GList *l = features; l; l = l->next) {
    if (!GST_IS_ELEMENT_FACTORY(l->data)) continue;
    ++elements;
    Ref<GstElement> e = gstref::adopt(gst_element_factory_create(GST_ELEMENT_FACTORY(l->data), 0));
    ASSERT_TRUE(e) << GST_OBJECT_NAME(l->data);
    gst_object_ref_sink(e.get());
    guint n = 0;
    GParamSpec **specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(e.get()), &n);
    for (guint i = 0; i < n; ++i) {
      if (specs[i]->owner_type != G_OBJECT_TYPE(e.get())) continue;  // GStreamer's own
      GValue value = G_VALUE_INIT;
      g_value_init(&value, specs[i]->value_type);
      g_object_get_property(G_OBJECT(e.get()), specs[i]->name, &value);
      EXPECT_EQ(g_param_values_cmp(specs[i], &value, g_param_spec_get_default_value(specs[i])), 0)
          << GST_OBJECT_NAME(l->data) << "." << specs[i]->name;
      g_value_unset(&value);
    }
    g_free(specs);
  }
  gst_plugin_feature_list_free(features);
  EXPECT_EQ(elements, 22u);
}

// GStreamer itself loads the built module, as a service does, and finds all 22 factories.
TEST(PluginRegistration, BuiltModuleLoadsWithEveryFactory)
{
  const char *module_dir = g_getenv("BASE_PLUGINS_MODULE_DIR");
  if (!module_dir) GTEST_SKIP() << "BASE_PLUGINS_MODULE_DIR not set";
#ifdef BASE_PLUGINS_ASAN
  GTEST_SKIP() << "a sanitized module cannot load into the system's gst-inspect";
#endif
  if (!testsupport::have_program("gst-inspect-1.0")) GTEST_SKIP() << "no gst-inspect-1.0";
  testsupport::CommandResult r = testsupport::run_command(
      std::string("GST_REGISTRY=") + module_dir +
      "/inspect-registry.bin GST_PLUGIN_PATH=" + module_dir + " gst-inspect-1.0 base_plugins 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Common elements"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("22 features:"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("+-- 22 elements"), std::string::npos) << r.output;
}

}  // namespace
