// h264processor on real x264 streams, checked by decoding with avdec_h264 and FFmpeg.
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
namespace media = testsupport::media;

// NAL unit types of an AVC access unit (4-byte lengths), with SEI payload types as 100 + type.
std::set<int>
nal_types(GstBuffer *b)
{
  std::set<int> types;
  gstref::BufferMap map(b, GST_MAP_READ);
  for (gsize pos = 0, len; pos + 5 <= map.size(); pos += 4 + len) {
    const guint8 *p = map.data() + pos;  // byte by byte: the lengths are not aligned
    len = gsize(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    const int type = map.data()[pos + 4] & 0x1F;
    types.insert(type);
    if (type == 6 && pos + 5 < map.size()) types.insert(100 + map.data()[pos + 5]);
  }
  return types;
}

// 64x64 open GOP (x264 open-gop=1 keyint=50 bframes=3), 6 s, cut at 2 s without re-encoding
// as trimming tools do: it starts on a non-IDR I picture with a recovery point SEI.
std::string
open_gop_cut_mp4()
{
  return media::command_clip(
      "h264-open-gop-cut.mp4",
      "ffmpeg -v error -y -f lavfi -i testsrc=size=64x64:rate=25 -frames:v 150 -pix_fmt yuv420p "
      "-c:v libx264 -x264-params open-gop=1:keyint=50:bframes=3:scenecut=0 {out}.full.mp4 && "
      "ffmpeg -v error -y -ss 2 -i {out}.full.mp4 -c copy -f mp4 {out} && rm {out}.full.mp4");
}

class H264ProcessorMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_factory("x264enc") || !have_factory("avdec_h264") || !have_program("ffmpeg"))
      GTEST_SKIP() << "x264enc, avdec_h264 or ffmpeg missing";
  }
};

TEST_F(H264ProcessorMediaTest, Streams_KeptFromTheFirstRandomAccessPointAndDecodedTheSame)
{
  struct Case {
    const char *name;
    std::string clip;
    size_t first;         // the buffer the stream is cut at (segment start: its PTS)
    int max_queued;
    size_t first_out;     // the first buffer expected out
    std::vector<std::string> signals;
  } cases[] = {
      {"B-frames", media::h264_mp4(), 0, 0, 0, {"idr"}},
      {"no B-frames", media::h264_no_bframes_mp4(), 0, 0, 0, {"idr"}},
      {"held until the second IDR", media::h264_mp4(), 0, 5, 0, {"idr"}},
      // Frame 10 is mid-GOP; the next IDR (frame 25) is 0.6 s later.
      {"cut mid-GOP", media::h264_no_bframes_mp4(), 10, 0, 25, {"idr"}},
      // No IDR within 2 s: frame 60 is the first at or after the cut + 2 s.
      {"cut in a long GOP", media::h264_long_gop_mp4(), 10, 0, 60, {"weak-keyframe"}},
      {"held without an IDR", media::h264_long_gop_mp4(), 10, 3, 60, {"weak-keyframe"}},
      // The I picture that opens the second GOP (frame 50, a recovery point SPS and SEI).
      {"cut at an open GOP", media::h264_open_gop_mp4(), 50, 0, 50, {"weak-keyframe"}},
      // A file cut there: a recovery point SEI and no SPS.
      {"file cut at an open GOP", open_gop_cut_mp4(), 0, 0, 0, {"weak-keyframe"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    media::EncodedStream in = media::read_h264_avc(c.clip);
    ASSERT_GT(in.buffers.size(), c.first_out);
    ASSERT_NE(nal_types(in.buffers[c.first_out].get()).count(5), c.signals[0] == "weak-keyframe");
    Harness h = make_harness("h264processor");
    g_object_set(h->element, "max-queued-frames", c.max_queued, nullptr);
    gst_harness_set_src_caps(h.get(), gst_caps_copy(in.caps.get()));
    const GstClockTime start = GST_BUFFER_PTS(in.buffers[c.first].get());
    if (c.first) gst_harness_push_event(h.get(), time_segment_event(start));
    for (size_t i = c.first; i < in.buffers.size(); ++i)
      ASSERT_EQ(gst_harness_push(h.get(), gst_buffer_ref(in.buffers[i].get())), GST_FLOW_OK);
    gst_harness_push_event(h.get(), gst_event_new_eos());
    std::vector<Ref<GstBuffer>> out = pull_all(h.get());
    std::vector<std::string> signals;
    for (auto &e : pull_all_events(h.get())) {
      GstTagList *tags;
      if (GST_EVENT_TYPE(e.get()) == GST_EVENT_CUSTOM_DOWNSTREAM)
        signals.push_back(gst_structure_get_name(gst_event_get_structure(e.get())));
      if (GST_EVENT_TYPE(e.get()) != GST_EVENT_TAG) continue;
      gst_event_parse_tag(e.get(), &tags);
      if (gst_tag_list_get_tag_size(tags, "H264IDRFramePresent")) signals.push_back("idr");
    }
    EXPECT_EQ(signals, c.signals);
    // Every buffer from the first kept on, in order, DTS cleared, key units marked.
    ASSERT_EQ(out.size(), in.buffers.size() - c.first_out);
    std::vector<GstBuffer *> kept;
    for (size_t i = 0; i < out.size(); ++i) {
      GstBuffer *b = out[i].get();
      kept.push_back(b);
      EXPECT_EQ(GST_BUFFER_PTS(b), GST_BUFFER_PTS(in.buffers[c.first_out + i].get()));
      EXPECT_FALSE(GST_BUFFER_DTS_IS_VALID(b));
      const auto types = nal_types(in.buffers[c.first_out + i].get());
      EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT),
                !types.count(5) && !types.count(7) && !types.count(106)) << i;
    }
    // Kept from a key unit on, it decodes on its own to the pictures of the whole stream.
    if (GST_BUFFER_FLAG_IS_SET(kept[0], GST_BUFFER_FLAG_DELTA_UNIT)) continue;
    std::map<GstClockTime, std::string> whole;
    std::vector<GstBuffer *> all;
    for (auto &b : in.buffers) all.push_back(b.get());
    for (const auto &f : media::decode_h264(in.caps.get(), all)) whole[f.pts] = f.md5;
    // Pictures shown before the first (B-frames of an open GOP) may need what was cut.
    const GstClockTime from = GST_BUFFER_PTS(kept[0]);
    size_t compared = 0;
    for (const auto &f : media::decode_h264(in.caps.get(), kept)) {
      if (f.pts < from) continue;
      EXPECT_EQ(f.md5, whole[f.pts]) << "pts " << f.pts;
      ++compared;
    }
    EXPECT_EQ(compared, std::distance(whole.lower_bound(from), whole.end()));
  }
}

// FFmpeg's decoded frames of a file: one MD5 a line.
std::string
ffmpeg_frames(const std::string &path)
{
  CommandResult c = run_command("ffmpeg -v error -i \"" + path +
                                "\" -map 0:v -f framemd5 - | grep -v '^#' | cut -d, -f6");
  EXPECT_EQ(c.status, 0);
  return c.output;
}

TEST_F(H264ProcessorMediaTest, Remux_DecodesLikeTheSourceAlsoWhenCutAtARecoveryPoint)
{
  const std::string out = std::string(g_get_tmp_dir()) + "/h264-processor-remux-" +
                          std::to_string(getpid()) + ".mkv";
  for (const auto &[clip, frames] : {std::pair{media::h264_mp4(), 75}, {open_gop_cut_mp4(), 100}}) {
    SCOPED_TRACE(clip);
    // The cut starts on an I picture that is no IDR, with a recovery point SEI and no SPS.
    const auto first = nal_types(media::read_h264_avc(clip).buffers.at(0).get());
    ASSERT_EQ(frames == 100, !first.count(5) && first.count(106) && !first.count(7));
    // Matroska stores PTS only: the DTS cleared here is regenerated further down in the
    // service's chains, which mp4mux would need with B-frames.
    PipelineResult r = run_pipeline("filesrc location=\"" + clip +
                                    "\" ! qtdemux ! h264parse ! h264processor ! matroskamux ! "
                                    "filesink location=\"" + out + "\"");
    ASSERT_TRUE(r.ok) << r.error;
    // FFmpeg is the oracle: the same decoded frames, in the same order.
    const std::string expected = ffmpeg_frames(clip);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), frames);
    EXPECT_EQ(ffmpeg_frames(out), expected);
  }
  g_unlink(out.c_str());
}

}  // namespace
