#include "transcoding-plugins/base-plugins/opus-channel-map.h"

#include <gst/audio/audio.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/base-transform.h"

namespace {

using namespace testsupport;

// Towards upstream each rear layout is offered again with side surrounds right after itself;
// towards downstream side layouts without rear channels become rear layouts (unfixed caps
// through the pipeline test).
TEST(OpusChannelMapTest, TransformCaps_RelabelsSideSurrounds)
{
  const char *kEncoder =
      "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=6, channel-mask=(bitmask)0x3f; "
      "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=2, channel-mask=(bitmask)0x3";
  struct Case { GstPadDirection direction; const char *caps, *filter, *expected; };
  const Case kCases[] = {
      {GST_PAD_SRC, "audio/x-raw, channels=[1,8]", nullptr, "audio/x-raw, channels=[1,8]"},
      {GST_PAD_SRC, kEncoder, nullptr,
       "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=6, channel-mask=(bitmask)0x3f; "
       "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=6, channel-mask=(bitmask)0xc0f; "
       "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=2, channel-mask=(bitmask)0x3"},
      {GST_PAD_SRC, kEncoder, "audio/x-raw, channels=2",
       "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=2, channel-mask=(bitmask)0x3"},
      // Fixed caps: side surrounds become rear ones only without rear channels.
      {GST_PAD_SINK, "audio/x-raw, format=S16LE, layout=interleaved, rate=48000, channels=6, "
       "channel-mask=(bitmask)0xc0f", nullptr, "audio/x-raw, format=S16LE, layout=interleaved, "
       "rate=48000, channels=6, channel-mask=(bitmask)0x3f"},
  };
  Ref<GstElement> e = gstref::adopt(
      GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("opuschannelmap", nullptr))));
  BaseTransform *t = reinterpret_cast<BaseTransformElement *>(e.get())->transform;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.caps);
    fn::AutoPtr<GstCaps> filter(c.filter ? gst_caps_from_string(c.filter) : nullptr);
    auto got = t->transform_caps(c.direction, fn::AutoPtr<GstCaps>(gst_caps_from_string(c.caps)),
                                 filter);
    Ref<GstCaps> want = gstref::adopt(gst_caps_from_string(c.expected));
    EXPECT_TRUE(gst_caps_is_strictly_equal(got.get(), want.get()));
  }
}

// Straight from a source, and through audioconvert (which asks downstream first): opusenc
// accepts the announced layout (it refuses side surrounds) and the samples pass unchanged,
// buffer for buffer.
TEST(OpusChannelMapTest, Pipeline_OpusencGetsRearSurrounds)
{
  if (!have_factory("opusenc")) GTEST_SKIP() << "no opusenc";
  // 5.1 with side surrounds (relabelled), 7.1 and stereo (left alone).
  const char *kCases[] = {"channels=6,channel-mask=(bitmask)0xc0f",
                          "channels=8,channel-mask=(bitmask)0xc3f", "channels=2"};
  const std::string source = "audiotestsrc num-buffers=10 samplesperbuffer=960 wave=pink-noise ! "
                             "audio/x-raw,format=S16LE,rate=48000,";
  // What the test relies on: the encoder refuses side surrounds by itself.
  EXPECT_FALSE(run_pipeline(source + kCases[0] + " ! opusenc ! fakesink").ok);
  for (const char *caps : kCases) {
    for (const char *between : {"", "audioconvert ! "}) {
      SCOPED_TRACE(std::string(caps) + " " + between);
      std::vector<std::vector<guint8>> in, out;
      const PipelineResult r = run_pipeline(
          source + caps + " ! " + between + "opuschannelmap name=map ! opusenc ! fakesink", 30,
          [&](GstBin *bin) {
            Ref<GstElement> map = gstref::adopt(gst_bin_get_by_name(bin, "map"));
            for (auto [name, seen] : {std::pair{"sink", &in}, std::pair{"src", &out}}) {
              Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(map.get(), name));
              gst_pad_add_probe(
                  pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
                  [](GstPad *, GstPadProbeInfo *info, gpointer data) {
                    static_cast<std::vector<std::vector<guint8>> *>(data)->push_back(
                        buffer_bytes(GST_PAD_PROBE_INFO_BUFFER(info)));
                    return GST_PAD_PROBE_OK;
                  },
                  seen, nullptr);
            }
          });
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(in.size(), 10u);
      EXPECT_EQ(out, in);
    }
  }
}

}  // namespace
