#include "transcoding-plugins/base-plugins/plugin.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/element.h"

namespace {

using testsupport::Ref;

TEST(PluginDescriptor, CarriesTheModuleIdentity)
{
  const GstPluginDesc *d = gst_plugin_base_plugins_get_desc();
  EXPECT_EQ(d->major_version, 1);
  EXPECT_EQ(d->minor_version, 0);
  EXPECT_STREQ(d->name, "base_plugins");
  EXPECT_STREQ(d->description, "Common elements");
  EXPECT_STREQ(d->version, "1.0");
  EXPECT_STREQ(d->license, "Proprietary");
  EXPECT_STREQ(d->source, "Zorvel");
  EXPECT_STREQ(d->package, "Zorvel");
  EXPECT_STREQ(d->origin, "Ostrin");
  EXPECT_EQ(d->release_datetime, nullptr);

  Ref<GstPlugin> plugin = gstref::adopt(gst_registry_find_plugin(gst_registry_get(), "base_plugins"));
  ASSERT_TRUE(plugin) << "the test main registers the plugin statically";
  EXPECT_STREQ(gst_plugin_get_license(plugin.get()), "Proprietary");
}

struct FactoryRow {
  const char *factory;
  const char *type_name;
  guint rank;
  const char *klass;
  const char *category;
  const char *category_description;
};

// Every factory of the module with its GType, rank, klass and debug category.
const std::vector<FactoryRow> kFactories = {
    {"bufferskip", "GstBufferSkip", GST_RANK_NONE, "Component", "bufferskip",
     "Template buffer_skip"},
    {"h264processor", "H264Processor", GST_RANK_NONE, "Codec/Video/Parser", "H264Processor",
     "H264Processor"},
    {"audiotimestampcorrector", "AudioTimestampCorrector", GST_RANK_NONE, "Parser",
     "audiotimestampcorrector", "Corrects jumpy audio timestamps"},
    {"buffermerge", "BufferMerge", GST_RANK_NONE, "Parser", "buffermerge",
     "Merges subsequent buffers"},
    {"cachedfilesrc", "CachedFileSrc", GST_RANK_NONE, "Source/File", "cachedfilesrc",
     "cached filesrc element"},
    {"vp9superframesplitter", "VP9SuperframeSplitter", GST_RANK_PRIMARY, "Codec/Video/Parser",
     "vp9superframesplitter", "Splits VP9 superframes into regular frames"},
    {"yv12converter", "YV12Converter", GST_RANK_NONE, "Converter", "yv12converter",
     "Converts YV12 to I420"},
    {"h264postprocessor", "GstH264Postprocessor", GST_RANK_NONE, "Parser", "h264postprocessor",
     "H264 postprocessor"},
    {"mpegtimestampparser", "MpegTimestampParser", GST_RANK_NONE, "Codec/Parser/Video",
     "mpegtimestampparser", "Corrects timestamps for MPEG stream"},
    {"mpeg4postprocessor", "Mpeg4Postprocessor", GST_RANK_NONE, "Parser", "mpeg4postprocessor",
     "Process MPEG4 video for passthrough"},
    {"mpeg4timestampparser", "Mpeg4TimestampParser", GST_RANK_NONE, "Codec/Video/Parser",
     "mpeg4timestampparser", "Fixes PTS in MPEG4 video stream"},
    {"mpegparsebin", "MpegParseBin", GST_RANK_PRIMARY, "Codec/Parser/Video", "videoparsebin",
     "Parses video streams"},
    {"mpeg4parsebin", "Mpeg4ParseBin", GST_RANK_PRIMARY, "Codec/Parser/Video", "videoparsebin",
     "Parses video streams"},
    {"h264parsebin", "H264ParseBin", GST_RANK_PRIMARY, "Codec/Parser/Video", "videoparsebin",
     "Parses video streams"},
    {"h265parsebin", "H265ParseBin", GST_RANK_PRIMARY, "Codec/Parser/Video", "videoparsebin",
     "Parses video streams"},
    {"aactransform", "AACTransform", GST_RANK_MARGINAL, "Parser/Depayloader", "aactransform",
     "Transforms RAW AAC to ADTS"},
    {"mlpparse", "GstMlpParse", GST_RANK_PRIMARY, "Codec/Parser/Converter/Audio", "mlpparse",
     "MLP/TrueHD Audio Parser"},
    {"dynamicaudionormalizer", "DynamicAudioNormalizer", GST_RANK_NONE, "Filter",
     "dynamicaudionormalizer", "Normalizes Audio Levels"},
    {"dynamicaudionormalizer", "DynamicAudioNormalizer", GST_RANK_NONE, "Filter",
     "dynamicaudionormalizer", "Normalizes Audio Levels"},
    {"binauraldownmixer", "BinauralDownmixer", GST_RANK_NONE, "Converter", "binauraldownmixer",
     "Downmixes multichannel audio for headphones"},
    {"opuschannelmap", "OpusChannelMap", GST_RANK_NONE, "Converter", "opuschannelmap",
     "Maps channels for opus encoder"},
    {"h265postprocessor", "GstH265Postprocessor", GST_RANK_NONE, "Parser", "h265postprocessor",
     "H265 postprocessor"},
};

TEST(PluginRegistration, FactoriesMatchTheTable)
{
  for (const FactoryRow &row : kFactories) {
    Ref<GstElementFactory> f = gstref::adopt(gst_element_factory_find(row.factory));
    ASSERT_TRUE(f) << row.factory;
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f.get())), row.rank);
    EXPECT_STREQ(gst_element_factory_get_metadata(f.get(), GST_ELEMENT_METADATA_KLASS),
                 row.klass);
    EXPECT_STREQ(gst_plugin_feature_get_plugin_name(GST_PLUGIN_FEATURE(f.get())),
                 "base_plugins");
    GType type = gst_element_factory_get_element_type(f.get());
    EXPECT_STREQ(g_type_name(type), row.type_name);
    GstDebugCategory *cat = _gst_debug_get_category(row.category);
    ASSERT_NE(cat, nullptr) << row.category;
    EXPECT_STREQ(gst_debug_category_get_description(cat), row.category_description);
    EXPECT_EQ(gst_debug_category_get_color(cat), 0u);
  }
}

TEST(PluginRegistration, StockVideoParsersAreDemoted)
{
  for (const char *name : {"mpegvideoparse", "mpeg4videoparse", "h264parse", "h265parse"}) {
    Ref<GstElementFactory> f = gstref::adopt(gst_element_factory_find(name));
    if (!f) continue;  // a missing stock parser is skipped
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f.get())), GST_RANK_NONE) << name;
  }
}

std::vector<int> g_calls;
gboolean
ok_a(GstPlugin *)
{
  g_calls.push_back(1);
  return TRUE;
}
gboolean
failing(GstPlugin *)
{
  g_calls.push_back(2);
  return FALSE;
}
gboolean
ok_b(GstPlugin *)
{
  g_calls.push_back(3);
  return TRUE;
}

TEST(PluginRegistration, FailureInTheMiddle_LaterOnesStillRunAndResultIsFalse)
{
  g_calls.clear();
  constexpr std::array<ElementRegisterFunc, 3> failing_order = {ok_a, failing, ok_b};
  EXPECT_FALSE(element_register_all(nullptr, failing_order));
  EXPECT_EQ(g_calls, (std::vector<int>{1, 2, 3}));

  g_calls.clear();
  constexpr std::array<ElementRegisterFunc, 2> good_order = {ok_a, ok_b};
  EXPECT_TRUE(element_register_all(nullptr, good_order));
}

TEST(PluginRegistration, RealFactoryAfterAFailureIsRegistered)
{
  // A registration that fails in the middle leaves later real factories usable.
  static gboolean registered_after = FALSE;
  constexpr std::array<ElementRegisterFunc, 2> order = {
      failing, [](GstPlugin *p) -> gboolean {
        registered_after = gst_element_register(p, "bpregistrationprobe", GST_RANK_NONE,
                                                GST_TYPE_BIN);
        return registered_after;
      }};
  EXPECT_FALSE(element_register_all(nullptr, order));
  EXPECT_TRUE(registered_after);
  Ref<GstElement> e = gstref::adopt(gst_element_factory_make("bpregistrationprobe", nullptr));
  EXPECT_TRUE(e);
  if (e) gst_object_ref_sink(e.get());
}

TEST(PluginRegistration, GstInspectListsTheModuleFromTheBuildTree)
{
  const char *module_dir = g_getenv("BASE_PLUGINS_MODULE_DIR");
  if (!module_dir) GTEST_SKIP() << "BASE_PLUGINS_MODULE_DIR not set";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitized module cannot load into the system's gst-inspect";
#endif
  if (!testsupport::have_program("gst-inspect-1.0")) GTEST_SKIP() << "no gst-inspect-1.0";
  const std::string cmd = std::string("GST_REGISTRY=") + module_dir +
                          "/inspect-registry.bin GST_PLUGIN_PATH=" + module_dir +
                          " gst-inspect-1.0 base_plugins 2>&1";
  testsupport::CommandResult r = testsupport::run_command(cmd);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Common elements"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("bufferskip: BufferSkip"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Proprietary"), std::string::npos) << r.output;
}

// The built module, loaded by GStreamer itself: every factory with its rank and GType. (The
// stock parsers are demoted only in a process that runs the module's init: tested in-process.)
TEST(PluginRegistration, BuiltModuleRegistersTheWholeTable)
{
  const char *module_dir = g_getenv("BASE_PLUGINS_MODULE_DIR");
  if (!module_dir) GTEST_SKIP() << "BASE_PLUGINS_MODULE_DIR not set";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitized module cannot load into the system's gst-inspect";
#endif
  if (!testsupport::have_program("gst-inspect-1.0")) GTEST_SKIP() << "no gst-inspect-1.0";
  const std::string env = std::string("GST_REGISTRY=") + module_dir +
                          "/inspect-registry.bin GST_PLUGIN_PATH=" + module_dir + " ";
  ASSERT_EQ(kFactories.size(), 22u);
  auto rank_text = [](guint rank) {
    switch (rank) {
      case GST_RANK_NONE: return std::string("none (0)");
      case GST_RANK_MARGINAL: return std::string("marginal (64)");
      case GST_RANK_SECONDARY: return std::string("secondary (128)");
      default: return std::string("primary (256)");
    }
  };
  for (const FactoryRow &row : kFactories) {
    testsupport::CommandResult r =
        testsupport::run_command(env + "gst-inspect-1.0 " + row.factory + " 2>&1");
    ASSERT_EQ(r.status, 0) << row.factory << ": " << r.output;
    EXPECT_NE(r.output.find("Rank                     " + rank_text(row.rank)), std::string::npos)
        << row.factory;
    EXPECT_NE(r.output.find(std::string("+----") + row.type_name + "\n"), std::string::npos)
        << row.factory;
  }
}

}  // namespace
