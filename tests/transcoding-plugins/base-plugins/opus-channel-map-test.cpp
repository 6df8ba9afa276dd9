#include "transcoding-plugins/base-plugins/opus-channel-map.h"

#include <gst/audio/audio.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/base-transform.h"

namespace {

using namespace testsupport;

constexpr char k51Side[] = "0xc0f";  // FL FR FC LFE SL SR
constexpr guint64 k51Rear = 0x3f;    // FL FR FC LFE RL RR
constexpr char k71[] = "0xc3f";      // FL FR FC LFE RL RR SL SR

std::string
raw_caps(int channels, const char *mask)
{
  std::string caps = "audio/x-raw,format=S16LE,rate=48000,layout=interleaved,channels=" +
                     std::to_string(channels);
  if (mask) caps += std::string(",channel-mask=(bitmask)") + mask;
  return caps;
}

guint64
mask_of(GstCaps *caps, guint index = 0)
{
  guint64 mask = 0;
  gst_structure_get(gst_caps_get_structure(caps, index), "channel-mask", GST_TYPE_BITMASK, &mask,
                    nullptr);
  return mask;
}

class OpusChannelMapTest : public ::testing::Test {
 protected:
  // Pushes one buffer with `in_caps` and returns the caps the element announced downstream;
  // checks that the buffer went through as the same buffer, unchanged.
  Ref<GstCaps> pass(const std::string &in_caps) {
    Harness h = make_harness("opuschannelmap", in_caps.c_str(), nullptr);
    std::vector<guint8> bytes(1200);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<guint8>(i * 7);
    GstBuffer *in = make_buffer(bytes, ms(40), ms(5));
    GST_BUFFER_OFFSET(in) = 17;
    EXPECT_EQ(gst_harness_push(h.get(), gst_buffer_ref(in)), GST_FLOW_OK);
    auto out = pull_all(h.get());
    EXPECT_EQ(out.size(), 1u);
    if (!out.empty()) {
      EXPECT_EQ(out[0].get(), in);
      EXPECT_EQ(buffer_bytes(out[0].get()), bytes);
      EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(40));
      EXPECT_EQ(GST_BUFFER_OFFSET(out[0].get()), 17u);
    }
    gst_buffer_unref(in);
    EXPECT_TRUE(gst_harness_push_event(h.get(), gst_event_new_eos()));
    EXPECT_TRUE(pull_all(h.get()).empty());  // end of stream adds nothing
    return gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
  }
};

TEST_F(OpusChannelMapTest, FixedCaps_SideBecomesRearOnlyWithoutRear)
{
  Ref<GstCaps> side = pass(raw_caps(6, k51Side));
  ASSERT_TRUE(side);
  EXPECT_EQ(mask_of(side.get()), k51Rear);
  GstAudioInfo info;
  ASSERT_TRUE(gst_audio_info_from_caps(&info, side.get()));
  EXPECT_EQ(info.position[4], GST_AUDIO_CHANNEL_POSITION_REAR_LEFT);
  EXPECT_EQ(info.position[5], GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT);

  Ref<GstCaps> full = pass(raw_caps(8, k71));
  EXPECT_EQ(mask_of(full.get()), 0xc3fu);

  Ref<GstCaps> stereo = pass(raw_caps(2, nullptr));
  GstAudioInfo stereo_info;
  ASSERT_TRUE(gst_audio_info_from_caps(&stereo_info, stereo.get()));
  EXPECT_EQ(stereo_info.channels, 2);
  EXPECT_EQ(stereo_info.position[0], GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT);
}

TEST_F(OpusChannelMapTest, TransformCaps_UnfixedAndUpstreamDirections)
{
  Ref<GstElement> e = gstref::adopt(gst_element_factory_make("opuschannelmap", nullptr));
  gst_object_ref_sink(e.get());
  BaseTransform *t = reinterpret_cast<BaseTransformElement *>(e.get())->transform;
  auto caps = [](const char *s) { return fn::AutoPtr<GstCaps>(gst_caps_from_string(s)); };

  const auto open = caps("audio/x-raw, channels=(int)[1,8]");
  for (GstPadDirection d : {GST_PAD_SINK, GST_PAD_SRC})
    EXPECT_TRUE(gst_caps_is_equal(t->transform_caps(d, open, nullptr).get(), open.get()));

  // The encoder's caps: a list per channel count. Rear layouts are offered with side
  // surrounds too, right after themselves; everything else stays.
  const auto encoder = caps(
      "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=6, channel-mask=(bitmask)0x3f; "
      "audio/x-raw, format=S16LE, rate={48000, 24000}, channels=2, channel-mask=(bitmask)0x3");
  auto up = t->transform_caps(GST_PAD_SRC, encoder, nullptr);
  ASSERT_EQ(gst_caps_get_size(up.get()), 3u);
  EXPECT_EQ(mask_of(up.get(), 0), k51Rear);
  EXPECT_EQ(mask_of(up.get(), 1), 0xc0fu);
  EXPECT_EQ(mask_of(up.get(), 2), 0x3u);
  // The result stays inside a filter.
  auto filtered = t->transform_caps(GST_PAD_SRC, encoder, caps("audio/x-raw, channels=2"));
  ASSERT_EQ(gst_caps_get_size(filtered.get()), 1u);
  EXPECT_EQ(mask_of(filtered.get()), 0x3u);

  // Unfixed side layouts from upstream are announced with rear surrounds.
  auto down = t->transform_caps(
      GST_PAD_SINK,
      caps("audio/x-raw, format=S16LE, rate=48000, channels=6, channel-mask=(bitmask)0xc0f, "
           "layout={interleaved, non-interleaved}"),
      nullptr);
  ASSERT_EQ(gst_caps_get_size(down.get()), 1u);
  EXPECT_EQ(mask_of(down.get()), k51Rear);
}

// Side 5.1 straight from a source, and through audioconvert (which asks downstream first),
// reaches opusenc with rear positions and unchanged samples.
TEST_F(OpusChannelMapTest, Pipeline_Side51AcceptedByOpusenc)
{
  if (!have_factory("opusenc")) GTEST_SKIP() << "no opusenc";
  const std::string source = "audiotestsrc num-buffers=20 samplesperbuffer=960 wave=pink-noise ! " +
                             raw_caps(6, k51Side);
  // What the test relies on: the encoder refuses side surrounds by itself.
  EXPECT_FALSE(run_pipeline(source + " ! opusenc ! fakesink").ok);

  for (const char *between : {"", "audioconvert ! "}) {
    GError *error = nullptr;
    Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(
        (source + " ! " + between + "opuschannelmap name=map ! opusenc name=enc ! fakesink")
            .c_str(),
        &error));
    ASSERT_TRUE(pipeline && !error) << (error ? error->message : "");
    gst_object_ref_sink(pipeline.get());
    Ref<GstElement> map = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "map"));
    struct Seen {
      std::vector<std::vector<guint8>> in, out;
    } seen;
    auto record = [](GstPad *, GstPadProbeInfo *info, gpointer data) {
      auto *v = static_cast<std::vector<std::vector<guint8>> *>(data);
      v->push_back(buffer_bytes(GST_PAD_PROBE_INFO_BUFFER(info)));
      return GST_PAD_PROBE_OK;
    };
    Ref<GstPad> sink = gstref::adopt(gst_element_get_static_pad(map.get(), "sink"));
    Ref<GstPad> src = gstref::adopt(gst_element_get_static_pad(map.get(), "src"));
    gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, record, &seen.in, nullptr);
    gst_pad_add_probe(src.get(), GST_PAD_PROBE_TYPE_BUFFER, record, &seen.out, nullptr);

    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
        bus.get(), 30 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    ASSERT_TRUE(msg);
    EXPECT_EQ(GST_MESSAGE_TYPE(msg.get()), GST_MESSAGE_EOS) << between;
    Ref<GstElement> enc = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "enc"));
    Ref<GstPad> enc_sink = gstref::adopt(gst_element_get_static_pad(enc.get(), "sink"));
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(enc_sink.get()));
    ASSERT_TRUE(caps);
    EXPECT_EQ(mask_of(caps.get()), k51Rear) << between;
    Ref<GstCaps> in_caps = gstref::adopt(gst_pad_get_current_caps(sink.get()));
    EXPECT_EQ(mask_of(in_caps.get()), 0xc0fu) << between;
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    EXPECT_EQ(seen.in.size(), 20u);
    EXPECT_EQ(seen.out, seen.in);
  }
}

}  // namespace
