#include "transcoding-plugins/base-plugins/buffer-merge.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

constexpr int kFlush = -1, kEos = -2;

struct Case {
  const char *name;
  int amount;
  std::vector<int> steps;             // a buffer of that many bytes, kFlush or kEos
  std::vector<std::vector<int>> out;  // the pushed buffers (by index) in each output buffer
};

const std::vector<Case> kCases = {
    {"groups of amount, partial group at EOS", 3, {5, 0, 7, 3, 4, kEos}, {{0, 1, 2}, {3, 4}}},
    {"amount 0 repacks every buffer", 0, {6, 2, 0}, {{0}, {1}, {2}}},
    {"amount 1 repacks every buffer", 1, {6, 2, 0}, {{0}, {1}, {2}}},
    {"a flush drops the partial group", 2, {4, kFlush, 3, 3}, {{1, 2}}},
};

TEST(BufferMergeTest, PushedBuffersComeOutConcatenatedInGroups)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Harness h = make_harness("buffermerge", "application/x-test", nullptr);
    g_object_set(h->element, "amount", c.amount, nullptr);
    std::vector<Bytes> pushed;
    for (int step : c.steps) {
      EXPECT_TRUE(step != kEos || gst_harness_push_event(h.get(), gst_event_new_eos()));
      if (step == kFlush)
        for (GstEvent *e : {gst_event_new_flush_start(), gst_event_new_flush_stop(TRUE),
                            time_segment_event(0)})
          gst_harness_push_event(h.get(), e);
      if (step < 0) continue;
      // Counting bytes, with all the metadata a merge must not carry over.
      Bytes bytes(step);
      std::iota(bytes.begin(), bytes.end(), guint8(pushed.size() * 50));
      const GstClockTime pts = ms(10 * (pushed.size() + 1));
      GstBuffer *b = make_buffer(pushed.emplace_back(bytes), pts, ms(10), pts + 1);
      GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
      GST_BUFFER_OFFSET(b) = 7;
      EXPECT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
    }
    auto out = pull_all(h.get());
    ASSERT_EQ(out.size(), c.out.size());
    for (gsize g = 0; g < out.size(); ++g) {
      Bytes expected;
      for (int i : c.out[g]) append(expected, pushed[i]);
      GstBuffer *m = out[g].get();
      EXPECT_EQ(buffer_bytes(m), expected);
      EXPECT_EQ(GST_BUFFER_PTS(m), ms(10 * (c.out[g][0] + 1)));
      EXPECT_TRUE(!GST_BUFFER_DTS_IS_VALID(m) && !GST_BUFFER_DURATION_IS_VALID(m) &&
                  !GST_BUFFER_OFFSET_IS_VALID(m) && GST_BUFFER_FLAGS(m) == 0);
    }
  }
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
  const std::string demux = "filesrc location=" + media::h264_mp4() + " ! qtdemux ! h264parse ! ";
  CollectResult units = collect_buffers(demux + "fakesink name=sink");
  CollectResult merged = collect_buffers(demux + "buffermerge amount=4 ! fakesink name=sink");
  ASSERT_TRUE(units.ok && merged.ok) << units.error << merged.error;
  ASSERT_EQ(units.buffers.size(), 75u);
  ASSERT_EQ(merged.buffers.size(), 19u);  // 18 groups of 4 and the last 3 at EOS
  for (size_t g = 0; g < merged.buffers.size(); ++g) {
    Bytes expected;
    for (size_t i = g * 4; i < std::min(units.buffers.size(), g * 4 + 4); ++i)
      append(expected, buffer_bytes(units.buffers[i].get()));
    EXPECT_EQ(buffer_bytes(merged.buffers[g].get()), expected) << g;
    EXPECT_EQ(GST_BUFFER_PTS(merged.buffers[g].get()), GST_BUFFER_PTS(units.buffers[g * 4].get()));
  }
}

}  // namespace
