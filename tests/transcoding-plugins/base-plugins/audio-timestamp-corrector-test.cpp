#include "transcoding-plugins/base-plugins/audio-timestamp-corrector.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

// Collects the element's warning-level debug messages while alive.
class WarningLog {
 public:
  WarningLog() {
    old_ = category_threshold("audiotimestampcorrector");
    gst_debug_set_threshold_for_name("audiotimestampcorrector", GST_LEVEL_WARNING);
    gst_debug_add_log_function(&WarningLog::log, this, nullptr);
  }
  ~WarningLog() {
    gst_debug_remove_log_function_by_data(this);
    gst_debug_set_threshold_for_name("audiotimestampcorrector", old_);
  }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> l(lock_);
    return messages_;
  }

 private:
  static GstDebugLevel category_threshold(const char *name) {
    GstDebugCategory *cat = _gst_debug_get_category(name);
    return cat ? gst_debug_category_get_threshold(cat) : GST_LEVEL_NONE;
  }
  static void log(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *,
                  gint, GObject *, GstDebugMessage *message, gpointer user_data) {
    if (level != GST_LEVEL_WARNING ||
        std::string(gst_debug_category_get_name(category)) != "audiotimestampcorrector")
      return;
    auto *self = static_cast<WarningLog *>(user_data);
    std::lock_guard<std::mutex> l(self->lock_);
    self->messages_.emplace_back(gst_debug_message_get(message));
  }
  GstDebugLevel old_;
  std::mutex lock_;
  std::vector<std::string> messages_;
};

class AudioTimestampCorrectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = make_harness("audiotimestampcorrector",
                      "audio/x-raw,format=F32LE,rate=48000,channels=1,layout=interleaved",
                      nullptr);
  }
  GstFlowReturn push(GstClockTime pts, GstClockTime duration,
                     GstClockTime dts = GST_CLOCK_TIME_NONE) {
    return gst_harness_push(h_.get(), make_buffer(16, pts, duration, dts));
  }
  GstClockTime pull_pts() {
    Ref<GstBuffer> b = gstref::adopt(gst_harness_pull(h_.get()));
    return GST_BUFFER_PTS(b.get());
  }
  Harness h_;
};

TEST_F(AudioTimestampCorrectorTest, Jitter_ComesOutGapFree)
{
  const GstClockTime start = GST_SECOND;
  for (int i = 0; i < 300; ++i) {
    // +-5 ms of jitter around a 20 ms grid.
    const gint64 jitter = ms((i * 7) % 11) - ms(5);
    ASSERT_EQ(push(start + ms(20) * i + jitter, ms(20), ms(3) * i), GST_FLOW_OK);
  }
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 300u);
  for (int i = 0; i < 300; ++i) {
    GstBuffer *b = out[i].get();
    // The first buffer keeps its upstream PTS (jitter -5 ms at i = 0).
    EXPECT_EQ(GST_BUFFER_PTS(b), start - ms(5) + ms(20) * i) << i;
    EXPECT_EQ(GST_BUFFER_DURATION(b), ms(20));
    EXPECT_EQ(GST_BUFFER_DTS(b), ms(3) * i) << "DTS is never touched";
  }
}

TEST_F(AudioTimestampCorrectorTest, Jump_IsFollowedByTheMeanThenTheRest)
{
  WarningLog log;
  // A full ring of zero differences.
  GstClockTime t = 0;
  for (int i = 0; i < 200; ++i, t += ms(20)) push(t, ms(20));
  EXPECT_EQ(pull_all(h_.get()).size(), 200u);
  EXPECT_TRUE(log.messages().empty());

  // Upstream jumps by 1 s; each buffer adds a -1 s difference to the sliding mean.
  std::vector<GstClockTime> out;
  const GstClockTime jump = GST_SECOND;
  for (int i = 0; i < 140; ++i, t += ms(20)) {
    push(t + jump, ms(20));
    out.push_back(pull_pts());
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], t - ms(20) * (140 - i)) << i;
  // The 6th buffer brings the mean to -46875000 ns and moves the sequence forward.
  const GstClockTime step = 46875000;
  for (int i = 5; i < 133; ++i) EXPECT_EQ(out[i], t - ms(20) * (140 - i) + step) << i;
  // 128 differences later the remaining 953.125 ms go in one step.
  for (int i = 133; i < 140; ++i) EXPECT_EQ(out[i], t - ms(20) * (140 - i) + jump) << i;

  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Resyncing audio timestamps by 0.046875s, stream time: 0:00:05.100000000");
  EXPECT_EQ(messages[1], "Resyncing audio timestamps by 0.953125s, stream time: 0:00:07.660000000");
}

TEST_F(AudioTimestampCorrectorTest, Threshold_40msIsJitterJustAboveIsFollowed)
{
  for (GstClockTime offset : {GstClockTime{40000000}, GstClockTime{40000001}}) {
    // A first buffer whose duration is `offset` too long puts the sequence that far ahead.
    gst_harness_push_event(h_.get(), time_segment_event(0));
    push(0, ms(20) + offset);
    GstClockTime t = ms(20);
    for (int i = 0; i < 200; ++i, t += ms(20)) push(t, ms(20));
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 201u);
    // Buffer 128 after the first fills the ring.
    const GstClockTime last = GST_BUFFER_PTS(out.back().get());
    if (offset == 40000000) {
      EXPECT_EQ(last, t - ms(20) + offset) << "exactly 40 ms is no reason to resync";
    } else {
      EXPECT_EQ(GST_BUFFER_PTS(out[127].get()), ms(20) * 127 + offset);
      EXPECT_EQ(GST_BUFFER_PTS(out[128].get()), ms(20) * 128);
      EXPECT_EQ(last, t - ms(20));
    }
  }
}

TEST_F(AudioTimestampCorrectorTest, MissingTimes_RestartOrInheritTheSequence)
{
  push(ms(100), ms(20));
  // Without PTS: takes the expected one and adds nothing to the ring.
  push(GST_CLOCK_TIME_NONE, ms(20));
  // Without duration: keeps its sequence PTS, but the next buffer restarts from upstream.
  push(ms(137), GST_CLOCK_TIME_NONE);
  push(ms(333), ms(20));
  push(ms(351), ms(20));
  std::vector<GstClockTime> pts;
  for (auto &b : pull_all(h_.get())) pts.push_back(GST_BUFFER_PTS(b.get()));
  EXPECT_EQ(pts, (std::vector<GstClockTime>{ms(100), ms(120), ms(140), ms(333), ms(353)}));
}

TEST_F(AudioTimestampCorrectorTest, Segment_RestartsTheSequence)
{
  push(ms(100), ms(20));
  push(ms(125), ms(20));
  gst_harness_push_event(h_.get(), time_segment_event(0));
  push(ms(5000), ms(20));
  push(ms(5023), ms(20));
  std::vector<GstClockTime> pts;
  for (auto &b : pull_all(h_.get())) pts.push_back(GST_BUFFER_PTS(b.get()));
  EXPECT_EQ(pts, (std::vector<GstClockTime>{ms(100), ms(120), ms(5000), ms(5020)}));
}

TEST_F(AudioTimestampCorrectorTest, Gap_IsShiftedByTheLastOffset)
{
  auto push_gap = [&](GstClockTime ts) {
    pull_all_events(h_.get());
    gst_harness_push_event(h_.get(), gst_event_new_gap(ts, ms(20)));
    for (auto &e : pull_all_events(h_.get())) {
      if (GST_EVENT_TYPE(e.get()) != GST_EVENT_GAP) continue;
      GstClockTime t, d;
      gst_event_parse_gap(e.get(), &t, &d);
      EXPECT_EQ(d, ms(20));
      return t;
    }
    ADD_FAILURE() << "no gap event";
    return GST_CLOCK_TIME_NONE;
  };
  // Sequence 7 ms behind upstream: offset -7 ms.
  push(ms(100), ms(20));
  push(ms(127), ms(20));
  EXPECT_EQ(push_gap(ms(200)), ms(193));
  // The shift would move this one below zero: it keeps its own time.
  EXPECT_EQ(push_gap(ms(3)), ms(3));
  // Sequence ahead of upstream: offset +8 ms.
  push(ms(132), ms(20));
  EXPECT_EQ(push_gap(ms(200)), ms(208));
  EXPECT_EQ(push_gap(0), ms(8));
}

// Jitter added by a pad probe on real audio: the corrector output is contiguous and keeps
// every sample.
GstPadProbeReturn
jitter_probe(GstPad *, GstPadProbeInfo *info, gpointer user_data)
{
  auto *n = static_cast<int *>(user_data);
  GstBuffer *b = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  const gint64 jitter = ms((*n * 5) % 9) - ms(4);
  if (GST_BUFFER_PTS(b) >= ms(4)) GST_BUFFER_PTS(b) += jitter;
  ++*n;
  GST_PAD_PROBE_INFO_DATA(info) = b;
  return GST_PAD_PROBE_OK;
}

TEST(AudioTimestampCorrectorPipeline, JitteredAudioTestSrc_ComesOutContiguous)
{
  int jittered = 0;
  CollectResult out;
  const std::string pipeline =
      "audiotestsrc num-buffers=100 samplesperbuffer=960 ! "
      "capsfilter caps=audio/x-raw,format=S16LE,rate=48000,channels=2 ! "
      "identity name=jitter ! audiotimestampcorrector ! fakesink name=sink";
  out = collect_buffers(pipeline, "sink", 30, [&](GstBin *bin) {
    Ref<GstElement> identity = gstref::adopt(gst_bin_get_by_name(bin, "jitter"));
    Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(identity.get(), "src"));
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, jitter_probe, &jittered, nullptr);
  });
  ASSERT_TRUE(out.ok) << out.error;
  ASSERT_GT(jittered, 50) << "the probe must have jittered the stream";
  ASSERT_EQ(out.buffers.size(), 100u);
  guint64 bytes = 0;
  for (auto &b : out.buffers) bytes += gst_buffer_get_size(b.get());
  EXPECT_EQ(bytes, 100u * 960 * 4);
  EXPECT_EQ(GST_BUFFER_PTS(out.buffers[0].get()), 0u);
  for (size_t i = 1; i < out.buffers.size(); ++i) {
    GstBuffer *prev = out.buffers[i - 1].get();
    EXPECT_EQ(GST_BUFFER_PTS(out.buffers[i].get()), GST_BUFFER_PTS(prev) + GST_BUFFER_DURATION(prev))
        << i;
  }
}

}  // namespace
