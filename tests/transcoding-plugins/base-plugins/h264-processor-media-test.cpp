// h264processor on real x264 streams, checked by decoding with avdec_h264.
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"
#include "transcoding-plugins/base-plugins/h264-processor.h"

namespace {

using namespace testsupport;
namespace media = testsupport::media;

struct Processed {
  std::vector<Ref<GstBuffer>> buffers;
  std::vector<std::string> signals;  // custom events and tags, in order
};

// Pushes the stream's buffers from `first` on through h264processor, with a segment that
// starts at `segment_start` (a cut as a seek makes it), then EOS.
Processed
process(const media::EncodedStream &in, size_t first, GstClockTime segment_start,
        int max_queued = 0)
{
  Processed out;
  Harness h = make_harness("h264processor");
  g_object_set(h->element, "max-queued-frames", max_queued, nullptr);
  gst_harness_set_src_caps(h.get(), gst_caps_copy(in.caps.get()));
  if (segment_start) gst_harness_push_event(h.get(), time_segment_event(segment_start));
  for (size_t i = first; i < in.buffers.size(); ++i)
    EXPECT_EQ(gst_harness_push(h.get(), gst_buffer_ref(in.buffers[i].get())), GST_FLOW_OK);
  gst_harness_push_event(h.get(), gst_event_new_eos());
  out.buffers = pull_all(h.get());
  for (auto &e : pull_all_events(h.get())) {
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_CUSTOM_DOWNSTREAM)
      out.signals.push_back(gst_structure_get_name(gst_event_get_structure(e.get())));
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_TAG) {
      GstTagList *tags;
      gst_event_parse_tag(e.get(), &tags);
      gboolean v;
      if (gst_tag_list_get_boolean(tags, "H264IDRFramePresent", &v)) out.signals.push_back("idr");
      if (gst_tag_list_get_boolean(tags, "H264PAFF", &v)) out.signals.push_back("paff");
    }
  }
  return out;
}

std::vector<GstBuffer *>
raw(const std::vector<Ref<GstBuffer>> &buffers, size_t first = 0)
{
  std::vector<GstBuffer *> out;
  for (size_t i = first; i < buffers.size(); ++i) out.push_back(buffers[i].get());
  return out;
}

bool
has_idr(GstBuffer *b)
{
  gstref::BufferMap map(b, GST_MAP_READ);
  return h264_processor::contains_idr(map.data(), map.size(), 4);
}

size_t
count_idr(const media::EncodedStream &s)
{
  size_t n = 0;
  for (auto &b : s.buffers) n += has_idr(b.get());
  return n;
}

bool
has_reordered_frames(const media::EncodedStream &s)
{
  for (size_t i = 1; i < s.buffers.size(); ++i)
    if (GST_BUFFER_PTS(s.buffers[i].get()) < GST_BUFFER_PTS(s.buffers[i - 1].get())) return true;
  return false;
}

class H264ProcessorMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_factory("x264enc") || !have_factory("avdec_h264") || !have_factory("mp4mux"))
      GTEST_SKIP() << "x264enc, avdec_h264 or mp4mux missing";
  }
  media::EncodedStream load(const std::string &path) {
    EXPECT_FALSE(path.empty());
    media::EncodedStream s = media::read_h264_avc(path);
    EXPECT_TRUE(s.caps);
    EXPECT_FALSE(s.buffers.empty());
    return s;
  }
};

TEST_F(H264ProcessorMediaTest, WholeStreams_DecodeToTheSameFrames)
{
  struct Case {
    std::string path;
    bool bframes;
    int max_queued;
  };
  for (const Case &c : {Case{media::h264_mp4(), true, 0}, Case{media::h264_no_bframes_mp4(), false, 0},
                        Case{media::h264_mp4(), true, 5}}) {
    SCOPED_TRACE(c.path + " max-queued-frames " + std::to_string(c.max_queued));
    media::EncodedStream in = load(c.path);
    ASSERT_GE(count_idr(in), 3u);
    ASSERT_EQ(has_reordered_frames(in), c.bframes);

    Processed out = process(in, 0, 0, c.max_queued);
    ASSERT_EQ(out.buffers.size(), in.buffers.size());
    for (size_t i = 0; i < in.buffers.size(); ++i) {
      EXPECT_EQ(GST_BUFFER_PTS(out.buffers[i].get()), GST_BUFFER_PTS(in.buffers[i].get()));
      EXPECT_FALSE(GST_BUFFER_DTS_IS_VALID(out.buffers[i].get()));
      EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(out.buffers[i].get(), GST_BUFFER_FLAG_DELTA_UNIT),
                !has_idr(in.buffers[i].get()));
    }
    // The second IDR picture is announced; the stream starts with an IDR: no weak keyframe.
    EXPECT_EQ(out.signals, std::vector<std::string>{"idr"});

    const auto expected = media::decode_h264(in.caps.get(), raw(in.buffers));
    const auto actual = media::decode_h264(in.caps.get(), raw(out.buffers));
    ASSERT_EQ(expected.size(), in.buffers.size());
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(actual[i].pts, expected[i].pts);
      EXPECT_EQ(actual[i].md5, expected[i].md5) << "frame " << i;
    }
  }
}

TEST_F(H264ProcessorMediaTest, CutMidGop_NextIdrWithinTwoSecondsStartsTheOutput)
{
  media::EncodedStream in = load(media::h264_no_bframes_mp4());
  // Frame 10 is mid-GOP and the next IDR (frame 25) is 0.6 s later.
  ASSERT_FALSE(has_idr(in.buffers[10].get()));
  ASSERT_TRUE(has_idr(in.buffers[25].get()));
  const GstClockTime cut = GST_BUFFER_PTS(in.buffers[10].get());
  Processed out = process(in, 10, cut);
  // IDR pictures at frames 25 and 50; no weak keyframe.
  EXPECT_EQ(out.signals, std::vector<std::string>{"idr"});
  ASSERT_EQ(out.buffers.size(), in.buffers.size() - 25);
  EXPECT_EQ(GST_BUFFER_PTS(out.buffers[0].get()), GST_BUFFER_PTS(in.buffers[25].get()));

  // It decodes on its own to the frames of the whole stream.
  const auto whole = media::decode_h264(in.caps.get(), raw(in.buffers));
  const auto cut_frames = media::decode_h264(in.caps.get(), raw(out.buffers));
  ASSERT_EQ(cut_frames.size(), out.buffers.size());
  for (size_t i = 0; i < cut_frames.size(); ++i)
    EXPECT_EQ(cut_frames[i].md5, whole[25 + i].md5) << "frame " << i;
}

TEST_F(H264ProcessorMediaTest, CutMidGop_LongGopAcceptsTheFirstDeltaUnitPastTwoSeconds)
{
  media::EncodedStream in = load(media::h264_long_gop_mp4());
  ASSERT_EQ(count_idr(in), 2u);
  ASSERT_TRUE(has_idr(in.buffers[100].get()));
  const GstClockTime cut = GST_BUFFER_PTS(in.buffers[10].get());
  Processed out = process(in, 10, cut);
  EXPECT_EQ(out.signals, std::vector<std::string>{"weak-keyframe"});
  // 25 fps: frame 60 is the first at or after the cut + 2 s.
  ASSERT_EQ(GST_BUFFER_PTS(in.buffers[60].get()), cut + 2 * GST_SECOND);
  ASSERT_EQ(out.buffers.size(), in.buffers.size() - 60);
  EXPECT_EQ(GST_BUFFER_PTS(out.buffers[0].get()), cut + 2 * GST_SECOND);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out.buffers[0].get(), GST_BUFFER_FLAG_DELTA_UNIT));
}

TEST_F(H264ProcessorMediaTest, OpenGop_StartingOnARecoveryPointDecodesFromTheFirstBuffer)
{
  media::EncodedStream in = load(media::h264_open_gop_mp4());
  // Find the I picture that opens the second GOP: a key unit without an IDR slice.
  size_t recovery = 0;
  for (size_t i = 1; i < in.buffers.size() && !recovery; ++i)
    if (!GST_BUFFER_FLAG_IS_SET(in.buffers[i].get(), GST_BUFFER_FLAG_DELTA_UNIT)) recovery = i;
  ASSERT_GT(recovery, 0u);
  ASSERT_FALSE(has_idr(in.buffers[recovery].get()));
  ASSERT_TRUE(has_reordered_frames(in));
  const GstClockTime start = GST_BUFFER_PTS(in.buffers[recovery].get());

  Processed out = process(in, recovery, start);
  EXPECT_EQ(out.signals, std::vector<std::string>{"weak-keyframe"});
  ASSERT_EQ(out.buffers.size(), in.buffers.size() - recovery);
  EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(out.buffers[0].get(), GST_BUFFER_FLAG_DELTA_UNIT));

  // Every picture from the recovery point on decodes exactly as in the whole stream.
  std::map<GstClockTime, std::string> whole;
  for (const auto &f : media::decode_h264(in.caps.get(), raw(in.buffers))) whole[f.pts] = f.md5;
  size_t compared = 0;
  for (const auto &f : media::decode_h264(in.caps.get(), raw(out.buffers))) {
    if (f.pts < start) continue;
    EXPECT_EQ(f.md5, whole[f.pts]) << "pts " << f.pts;
    ++compared;
  }
  EXPECT_EQ(compared, in.buffers.size() - recovery);
}

TEST_F(H264ProcessorMediaTest, Pipeline_RemuxedStreamDecodesLikeTheSource)
{
  if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const std::string source = media::h264_mp4();
  ASSERT_FALSE(source.empty());
  const std::string out = std::string(g_get_tmp_dir()) + "/h264-processor-remux-" +
                          std::to_string(getpid()) + ".mkv";
  // Matroska stores PTS only: the DTS this element clears is regenerated further down in
  // the service's chains, which mp4mux would need with B-frames.
  PipelineResult r = run_pipeline("filesrc location=\"" + source +
                                  "\" ! qtdemux ! h264parse ! h264processor ! matroskamux ! "
                                  "filesink location=\"" + out + "\"");
  ASSERT_TRUE(r.ok) << r.error;
  // FFmpeg is the oracle: the same decoded frames, in the same order.
  auto frames = [](const std::string &path) {
    CommandResult c = run_command("ffmpeg -v error -i \"" + path +
                                  "\" -map 0:v -f framemd5 - | grep -v '^#' | cut -d, -f6");
    EXPECT_EQ(c.status, 0);
    return c.output;
  };
  const std::string expected = frames(source);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 75);
  EXPECT_EQ(frames(out), expected);
  g_unlink(out.c_str());
}

}  // namespace
