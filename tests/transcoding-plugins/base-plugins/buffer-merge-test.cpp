#include "transcoding-plugins/base-plugins/buffer-merge.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

class BufferMergeTest : public ::testing::Test {
 protected:
  void start(int amount) {
    h_ = make_harness("buffermerge", "application/x-test", nullptr);
    g_object_set(h_->element, "amount", amount, nullptr);
  }
  // Pushes a buffer of `size` bytes counting up from `first`, with all the metadata a merge
  // must not carry over.
  std::vector<guint8> push(gsize size, guint8 first, GstClockTime pts) {
    std::vector<guint8> bytes(size);
    for (gsize i = 0; i < size; ++i) bytes[i] = static_cast<guint8>(first + i);
    GstBuffer *b = make_buffer(bytes, pts, ms(10), pts + 1);
    GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    GST_BUFFER_OFFSET(b) = 7;
    EXPECT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
    return bytes;
  }
  Harness h_;
};

std::vector<guint8>
concat(std::initializer_list<std::vector<guint8>> parts)
{
  std::vector<guint8> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(BufferMergeTest, GroupsOfAmount_PartialGroupAtEos)
{
  start(3);
  auto a = push(5, 0, ms(10));
  auto b = push(0, 0, ms(20));
  auto c = push(7, 100, ms(30));
  auto d = push(3, 200, ms(40));
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), 1u);
  auto e = push(4, 50, ms(50));
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), 1u) << "the second group is incomplete";
  EXPECT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));

  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), concat({a, b, c}));
  EXPECT_EQ(buffer_bytes(out[1].get()), concat({d, e}));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(10));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(40));
  for (auto &m : out)
    EXPECT_TRUE(GST_BUFFER_DTS(m.get()) == GST_CLOCK_TIME_NONE && GST_BUFFER_FLAGS(m.get()) == 0 &&
                GST_BUFFER_DURATION(m.get()) == GST_CLOCK_TIME_NONE &&
                GST_BUFFER_OFFSET(m.get()) == GST_BUFFER_OFFSET_NONE);
  // EOS follows the flushed group.
  EXPECT_EQ(GST_EVENT_TYPE(pull_all_events(h_.get()).back().get()), GST_EVENT_EOS);
}

TEST_F(BufferMergeTest, AmountZeroOrOne_RepacksEveryBuffer)
{
  for (int amount : {0, 1}) {
    start(amount);
    auto a = push(6, 1, ms(10));
    auto b = push(2, 9, ms(20));
    push(0, 0, ms(30));
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 3u) << amount;
    EXPECT_EQ(concat({buffer_bytes(out[0].get()), buffer_bytes(out[1].get())}), concat({a, b}));
    EXPECT_TRUE(gst_buffer_get_size(out[2].get()) == 0 && GST_BUFFER_PTS(out[2].get()) == ms(30));
    EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(out[1].get(), GST_BUFFER_FLAG_DELTA_UNIT));
  }
}

TEST_F(BufferMergeTest, Flush_DropsThePartialGroup)
{
  start(2);
  push(4, 0, ms(10));
  gst_harness_push_event(h_.get(), gst_event_new_flush_start());
  gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
  gst_harness_push_event(h_.get(), time_segment_event(0));
  auto a = push(3, 30, ms(100));
  auto b = push(3, 60, ms(110));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(buffer_bytes(out[0].get()), concat({a, b}));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(100));
}

// Three formats in a row, four buffers of 100 frames each, merged in threes: the group left
// over at each caps change goes out under its own caps, so every frame is counted once.
TEST(BufferMergePipeline, CapsChanges_PartialGroupLeavesUnderItsOwnCaps)
{
  std::string pipeline = "concat name=c ! buffermerge amount=3 ! fakesink name=sink";
  for (const char *format : {"rate=48000,channels=6", "rate=44100,channels=2",
                             "rate=48000,channels=8"})
    pipeline += std::string(" audiotestsrc num-buffers=4 samplesperbuffer=100 ! capsfilter caps="
                            "audio/x-raw,format=F32LE,layout=interleaved,") + format + " ! c.";
  gsize frames = 0;
  auto count = [&](GstBin *bin) {
    Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(bin, "sink"));
    Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
    auto probe = +[](GstPad *p, GstPadProbeInfo *info, gpointer total) {
      Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(p));
      gint channels = 1;
      gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "channels", &channels);
      *static_cast<gsize *>(total) += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)) /
                                      (sizeof(float) * channels);
      return GST_PAD_PROBE_OK;
    };
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, probe, &frames, nullptr);
  };
  ASSERT_TRUE(run_pipeline(pipeline, 60, count).ok);
  EXPECT_EQ(frames, 1200u);
}

// Real encoded access units merged in fours: every merged payload is the concatenation of
// the units the parser delivered, and nothing is lost at the end.
TEST(BufferMergePipeline, EncodedUnits_MergedPayloadsAreTheConcatenation)
{
  const std::string input = media::h264_mp4();
  ASSERT_FALSE(input.empty());
  const std::string demux = "filesrc location=" + input + " ! qtdemux ! h264parse ! ";
  CollectResult units = collect_buffers(demux + "fakesink name=sink");
  ASSERT_TRUE(units.ok) << units.error;
  CollectResult merged = collect_buffers(demux + "buffermerge amount=4 ! fakesink name=sink");
  ASSERT_TRUE(merged.ok) << merged.error;

  ASSERT_EQ(units.buffers.size(), 75u);
  ASSERT_EQ(merged.buffers.size(), 19u);  // 18 groups of 4 and the last 3 at EOS
  for (size_t g = 0; g < merged.buffers.size(); ++g) {
    std::vector<guint8> expected;
    for (size_t i = g * 4; i < std::min(units.buffers.size(), g * 4 + 4); ++i) {
      auto bytes = buffer_bytes(units.buffers[i].get());
      expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(buffer_bytes(merged.buffers[g].get()), expected) << g;
    EXPECT_EQ(GST_BUFFER_PTS(merged.buffers[g].get()), GST_BUFFER_PTS(units.buffers[g * 4].get()));
  }
}

}  // namespace
