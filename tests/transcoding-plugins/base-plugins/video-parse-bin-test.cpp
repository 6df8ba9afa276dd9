#include "transcoding-plugins/base-plugins/video-parse-bin.h"

#include <glib/gstdio.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;

struct Stamp {
  GstClockTime pts, dts, duration;
};

// Runs `description` (which ends in "fakesink name=sink") to EOS and returns the timestamps of
// every buffer that reached the sink, and its final caps.
struct Collected {
  std::vector<Stamp> stamps;
  Ref<GstCaps> caps;
  std::string error;
};

void
on_handoff(GstElement *, GstBuffer *buffer, GstPad *, gpointer data)
{
  static_cast<std::vector<Stamp> *>(data)->push_back(
      {GST_BUFFER_PTS(buffer), GST_BUFFER_DTS(buffer), GST_BUFFER_DURATION(buffer)});
}

Collected
collect(const std::string &description)
{
  Collected c;
  GError *error = nullptr;
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), &error));
  if (error) {
    c.error = error->message;
    g_clear_error(&error);
    return c;
  }
  Ref<GstElement> sink =
      gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  g_object_set(sink.get(), "signal-handoffs", TRUE, nullptr);
  g_signal_connect(sink.get(), "handoff", G_CALLBACK(on_handoff), &c.stamps);
  Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
      bus.get(), 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  if (!msg || GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR) c.error = "error or timeout";
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
  c.caps = gstref::adopt(gst_pad_get_current_caps(pad.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return c;
}

std::string
read_file(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A scratch directory removed with its files at the end of the test.
class ScratchDir {
 public:
  ScratchDir() : path_(g_dir_make_tmp("vpb-XXXXXX", nullptr)) {}
  ~ScratchDir() {
    for (auto &f : files_) g_unlink(f.c_str());
    g_rmdir(path_.c_str());
  }
  std::string file(const std::string &name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// Per-frame decoded checksums by FFmpeg, in presentation order, without timestamps.
std::vector<std::string>
frame_md5s(const std::string &path)
{
  CommandResult r = run_command("ffmpeg -v error -i '" + path + "' -an -f framemd5 - 2>/dev/null");
  std::vector<std::string> out;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    out.push_back(line.substr(line.rfind(',') + 1));
  }
  return out;
}

std::string
probe(const std::string &args, const std::string &path)
{
  return run_command("ffprobe -v error " + args + " -of csv=p=0 '" + path + "'").output;
}

void
expect_fully_stamped(const std::vector<Stamp> &stamps, bool dts_within_pts)
{
  ASSERT_FALSE(stamps.empty());
  for (size_t i = 0; i < stamps.size(); ++i) {
    const Stamp &s = stamps[i];
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(s.pts)) << "buffer " << i;
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(s.dts)) << "buffer " << i;
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(s.duration)) << "buffer " << i;
    if (dts_within_pts) {
      EXPECT_LE(s.dts, s.pts) << "buffer " << i;
    }
    if (i) {
      EXPECT_GE(s.dts, stamps[i - 1].dts) << "buffer " << i;
    }
  }
}

class VideoParseBinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_program("ffprobe") || !have_program("ffmpeg")) GTEST_SKIP() << "no FFmpeg";
  }
};

TEST_F(VideoParseBinTest, MpegParseBin_TsWithBFramesLeavesFullyStampedAndDecodesTheSame)
{
  const std::string ts = media::mpeg2_ts();
  ASSERT_FALSE(ts.empty());
  ASSERT_NE(probe("-show_entries frame=pict_type", ts).find('B'), std::string::npos)
      << "the clip must have B-frames";

  Collected c =
      collect("filesrc location=" + ts + " ! tsdemux ! mpegparsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  EXPECT_EQ(c.stamps.size(), 30u);
  expect_fully_stamped(c.stamps, true);

  ScratchDir dir;
  const std::string ours = dir.file("ours.yuv"), stock = dir.file("stock.yuv");
  const std::string decode = " ! avdec_mpeg2video ! filesink location=";
  ASSERT_TRUE(
      run_pipeline("filesrc location=" + ts + " ! tsdemux ! mpegparsebin" + decode + ours).ok);
  ASSERT_TRUE(
      run_pipeline("filesrc location=" + ts + " ! tsdemux ! mpegvideoparse" + decode + stock).ok);
  const std::string a = read_file(ours), b = read_file(stock);
  EXPECT_EQ(a.size(), 30u * 176 * 144 * 3 / 2);
  EXPECT_TRUE(a == b) << "decoded frames differ";
}

TEST_F(VideoParseBinTest, MpegParseBin_ElementaryStreamGetsPtsAndRemuxesIntoMatroska)
{
  // mpegvideoparse alone leaves an elementary stream without PTS; matroskamux then writes no
  // frames at all.
  const std::string es = media::mpeg2_es();
  ASSERT_FALSE(es.empty());
  Collected c = collect("filesrc location=" + es + " ! mpegparsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  EXPECT_EQ(c.stamps.size(), 30u);
  expect_fully_stamped(c.stamps, true);

  ScratchDir dir;
  const std::string mkv = dir.file("es.mkv");
  ASSERT_TRUE(
      run_pipeline("filesrc location=" + es + " ! mpegparsebin ! matroskamux ! filesink location=" +
                   mkv)
          .ok);
  const auto expected = frame_md5s(es);
  ASSERT_EQ(expected.size(), 30u);
  EXPECT_EQ(frame_md5s(mkv), expected);
}

TEST_F(VideoParseBinTest, MpegParseBin_ProgramStreamLeavesFullyStamped)
{
  const std::string ps = media::mpeg2_ps();
  ASSERT_FALSE(ps.empty());
  Collected c =
      collect("filesrc location=" + ps + " ! mpegpsdemux ! mpegparsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  EXPECT_EQ(c.stamps.size(), 30u);
  expect_fully_stamped(c.stamps, true);
}

TEST_F(VideoParseBinTest, MpegParseBin_SoftTelecineRemuxesAtFilmSpeed)
{
  const std::string ts = media::mpeg2_pulldown_ts();
  ASSERT_FALSE(ts.empty());
  const std::string repeats = probe("-show_entries frame=repeat_pict", ts);
  ASSERT_NE(repeats.find("1"), std::string::npos) << "the clip must repeat fields";

  Collected c =
      collect("filesrc location=" + ts + " ! tsdemux ! mpegparsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  expect_fully_stamped(c.stamps, true);
  ASSERT_TRUE(c.caps);
  GstStructure *s = gst_caps_get_structure(c.caps.get(), 0);
  gint n = 0, d = 0;
  ASSERT_TRUE(gst_structure_get_fraction(s, "framerate", &n, &d));
  EXPECT_EQ(n, 24000);
  EXPECT_EQ(d, 1001);
  EXPECT_STREQ(gst_structure_get_string(s, "interlace-mode"), "progressive");
  // Durations follow the repeated fields: two and three fields of 1001/60000 s.
  for (const Stamp &st : c.stamps) {
    const GstClockTime field = GST_SECOND * 1001 / 60000;
    EXPECT_TRUE(std::llabs(static_cast<long long>(st.duration - 2 * field)) < 1000 ||
                std::llabs(static_cast<long long>(st.duration - 3 * field)) < 1000)
        << st.duration;
  }

  ScratchDir dir;
  const std::string mkv = dir.file("out.mkv");
  ASSERT_TRUE(run_pipeline("filesrc location=" + ts +
                           " ! tsdemux ! mpegparsebin ! matroskamux ! filesink location=" + mkv)
                  .ok);
  const std::string stream =
      probe("-count_frames -show_entries stream=r_frame_rate,nb_read_frames", mkv);
  EXPECT_EQ(stream.rfind("24000/1001,24", 0), 0u) << stream;
  const double duration = std::stod(probe("-show_entries format=duration", mkv));
  EXPECT_NEAR(duration, 24 * 1001.0 / 24000, 0.05);
}

TEST_F(VideoParseBinTest, Mpeg4ParseBin_AviGetsPresentationTimestampsAndRemuxes)
{
  const std::string avi = media::mpeg4_avi();
  ASSERT_FALSE(avi.empty());
  ASSERT_NE(probe("-show_entries frame=pict_type", avi).find('B'), std::string::npos);

  Collected c =
      collect("filesrc location=" + avi + " ! avidemux ! mpeg4parsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  ASSERT_EQ(c.stamps.size(), 30u);
  std::vector<GstClockTime> ours;
  for (const Stamp &s : c.stamps) {
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(s.pts));
    ours.push_back(s.pts);
  }
  // FFmpeg's generated PTS, per packet in decode order; equal up to a constant offset.
  std::vector<GstClockTime> theirs;
  std::istringstream lines(probe("-fflags +genpts -show_entries packet=pts", avi));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) theirs.push_back(std::stoull(line) * GST_SECOND / 25);
  ASSERT_EQ(theirs.size(), ours.size());
  const GstClockTime offset = theirs[0] - ours[0];
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i] + offset, theirs[i]) << i;

  ScratchDir dir;
  const std::string mkv = dir.file("out.mkv");
  ASSERT_TRUE(run_pipeline("filesrc location=" + avi +
                           " ! avidemux ! mpeg4parsebin ! matroskamux ! filesink location=" + mkv)
                  .ok);
  const auto expected = frame_md5s(avi);
  ASSERT_EQ(expected.size(), 30u);
  EXPECT_EQ(frame_md5s(mkv), expected);
}

TEST_F(VideoParseBinTest, Mpeg4ParseBin_AvenccAviGetsAPtsOnEveryBuffer)
{
  const std::string avi = media::mpeg4_avi_gst();
  ASSERT_FALSE(avi.empty());
  ASSERT_NE(probe("-show_entries frame=pict_type", avi).find('B'), std::string::npos);
  Collected c =
      collect("filesrc location=" + avi + " ! avidemux ! mpeg4parsebin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  ASSERT_EQ(c.stamps.size(), 30u);
  std::vector<GstClockTime> sorted;
  for (const Stamp &s : c.stamps) {
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(s.pts));
    sorted.push_back(s.pts);
  }
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i) EXPECT_EQ(sorted[i] - sorted[i - 1], GST_SECOND / 25);
}

void
on_handoff_keep(GstElement *, GstBuffer *buffer, GstPad *, gpointer data)
{
  static_cast<std::vector<Ref<GstBuffer>> *>(data)->push_back(gstref::retain(buffer));
}

// Demuxed frames of an AVI, in file order, with their caps.
struct Demuxed {
  std::vector<Ref<GstBuffer>> frames;
  Ref<GstCaps> caps;
};

Demuxed
demux_avi(const std::string &avi)
{
  Demuxed d;
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(
      ("filesrc location=" + avi + " ! avidemux ! fakesink name=sink signal-handoffs=true")
          .c_str(),
      nullptr));
  Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  g_signal_connect(sink.get(), "handoff", G_CALLBACK(on_handoff_keep), &d.frames);
  Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
      bus.get(), 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
  d.caps = gstref::adopt(gst_pad_get_current_caps(pad.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return d;
}

// vop_coding_type of the last VOP in a frame.
int
vop_type(GstBuffer *buffer)
{
  const auto bytes = buffer_bytes(buffer);
  int type = -1;
  for (size_t i = 0; i + 4 < bytes.size(); ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0xB6)
      type = bytes[i + 4] >> 6;
  return type;
}

// Pushes `frames` through a fresh mpeg4parsebin and returns the PTS of what leaves.
std::vector<GstClockTime>
parse_frames(GstCaps *caps, const std::vector<Ref<GstBuffer>> &frames)
{
  Harness h(gst_harness_new("mpeg4parsebin"));
  gst_harness_set_src_caps(h.get(), gst_caps_copy(caps));
  for (const auto &f : frames)
    EXPECT_EQ(gst_harness_push(h.get(), gst_buffer_ref(f.get())), GST_FLOW_OK);
  gst_harness_push_event(h.get(), gst_event_new_eos());
  std::vector<GstClockTime> pts;
  for (auto &b : pull_all(h.get())) pts.push_back(GST_BUFFER_PTS(b.get()));
  return pts;
}

TEST_F(VideoParseBinTest, Mpeg4ParseBin_PackedBitstreamMatchesTheUnpackedTimestamps)
{
  Demuxed d = demux_avi(media::mpeg4_avi());
  ASSERT_EQ(d.frames.size(), 30u);
  // Pack like DivX: each reference with the B-frame after it in one chunk, then a not-coded
  // placeholder in the B-frame's slot; chunk timestamps stay where they were.
  std::vector<Ref<GstBuffer>> packed;
  int packs = 0;
  for (size_t i = 0; i < d.frames.size(); ++i) {
    GstBuffer *f = d.frames[i].get();
    if (vop_type(f) != 2 && i + 1 < d.frames.size() && vop_type(d.frames[i + 1].get()) == 2) {
      GstBuffer *chunk = gst_buffer_append(gst_buffer_copy_deep(f),
                                           gst_buffer_copy_deep(d.frames[i + 1].get()));
      gst_buffer_copy_into(chunk, f, GST_BUFFER_COPY_METADATA, 0, -1);
      packed.push_back(gstref::adopt(chunk));
      GstBuffer *placeholder = make_buffer(bitstream::mpeg4_vop(1, false, 5, 1));
      gst_buffer_copy_into(placeholder, d.frames[i + 1].get(), GST_BUFFER_COPY_METADATA, 0, -1);
      packed.push_back(gstref::adopt(placeholder));
      ++i;
      ++packs;
    } else {
      packed.push_back(gstref::retain(f));
    }
  }
  ASSERT_GE(packs, 5) << "the clip must have reference + B pairs to pack";
  ASSERT_EQ(packed.size(), d.frames.size());

  const auto plain = parse_frames(d.caps.get(), d.frames);
  const auto from_packed = parse_frames(d.caps.get(), packed);
  ASSERT_EQ(plain.size(), 30u);
  // mpeg4videoparse splits the packed chunks; the placeholders must go and every frame keep
  // the presentation time it has in the unpacked file.
  EXPECT_EQ(from_packed, plain);
}

// Finds an element made by `factory` anywhere below `bin`.
bool
contains_factory(GstBin *bin, const char *factory)
{
  bool found = false;
  GstIterator *it = gst_bin_iterate_recurse(bin);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElementFactory *f = gst_element_get_factory(GST_ELEMENT(g_value_get_object(&item)));
    if (f && g_str_equal(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)), factory))
      found = true;
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return found;
}

// Plays `description` to EOS and reports whether an element of `factory` was plugged.
bool
autoplugs(const std::string &description, const char *factory)
{
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), nullptr));
  Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
      bus.get(), 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  EXPECT_TRUE(msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) << "playback failed";
  const bool found = contains_factory(GST_BIN(pipeline.get()), factory);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return found;
}

TEST_F(VideoParseBinTest, Autoplug_DecodebinPicksMpegParseBin)
{
  // Stock parsers lose their rank only when the module's init runs in this process.
  Ref<GstPlugin> plugin = gstref::adopt(gst_plugin_load_by_name("base_plugins"));
  ASSERT_TRUE(plugin);
  const std::string es = media::mpeg2_es();
  ASSERT_FALSE(es.empty());
  EXPECT_TRUE(autoplugs("filesrc location=" + es + " ! decodebin ! fakesink", "mpegparsebin"));
}

TEST_F(VideoParseBinTest, Autoplug_DecodebinPicksH264ParseBin)
{
  if (!have_factory("h264processor")) GTEST_SKIP() << "h264processor not built on this branch";
  Ref<GstPlugin> plugin = gstref::adopt(gst_plugin_load_by_name("base_plugins"));
  ASSERT_TRUE(plugin);
  EXPECT_TRUE(autoplugs("filesrc location=" + media::h264_mp4() + " ! decodebin ! fakesink",
                        "h264parsebin"));
}

TEST_F(VideoParseBinTest, H265ParseBin_ByteStreamLeavesAsHvc1AccessUnits)
{
  if (!have_factory("x265enc")) GTEST_SKIP() << "no x265enc";
  Collected c = collect(
      "videotestsrc num-buffers=5 ! capsfilter caps=video/x-raw,format=I420,width=64,height=64 "
      "! x265enc ! capsfilter caps=video/x-h265,stream-format=byte-stream ! h265parsebin ! "
      "fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  EXPECT_EQ(c.stamps.size(), 5u);
  ASSERT_TRUE(c.caps);
  GstStructure *s = gst_caps_get_structure(c.caps.get(), 0);
  EXPECT_STREQ(gst_structure_get_string(s, "stream-format"), "hvc1");
  EXPECT_STREQ(gst_structure_get_string(s, "alignment"), "au");
}

TEST_F(VideoParseBinTest, H264ParseBin_ByteStreamLeavesAsAvcThroughTheProcessor)
{
  if (!have_factory("h264processor")) GTEST_SKIP() << "h264processor not built on this branch";
  Collected c = collect(
      "videotestsrc num-buffers=5 ! capsfilter caps=video/x-raw,format=I420,width=64,height=64 "
      "! x264enc ! capsfilter caps=video/x-h264,stream-format=byte-stream ! "
      "h264parsebin name=bin ! fakesink name=sink");
  ASSERT_TRUE(c.error.empty()) << c.error;
  EXPECT_EQ(c.stamps.size(), 5u);
  GstStructure *s = gst_caps_get_structure(c.caps.get(), 0);
  EXPECT_STREQ(gst_structure_get_string(s, "stream-format"), "avc");
  EXPECT_STREQ(gst_structure_get_string(s, "alignment"), "au");

  Ref<GstElement> bin = gstref::adopt(gst_element_factory_make("h264parsebin", nullptr));
  gst_object_ref_sink(bin.get());
  Ref<GstElement> processor =
      gstref::adopt(gst_bin_get_by_name(GST_BIN(bin.get()), "h264processor"));
  ASSERT_TRUE(processor);
}

// Hides a factory from the registry for the lifetime of the guard.
class HiddenFactory {
 public:
  explicit HiddenFactory(const char *name)
      : feature_(gstref::adopt(gst_registry_lookup_feature(gst_registry_get(), name))) {
    if (feature_) gst_registry_remove_feature(gst_registry_get(), feature_.get());
  }
  ~HiddenFactory() {
    if (feature_) gst_registry_add_feature(gst_registry_get(), feature_.get());
  }
  bool ok() const { return static_cast<bool>(feature_); }

 private:
  Ref<GstPluginFeature> feature_;
};

TEST_F(VideoParseBinTest, MissingStockParser_StateChangeFailsNamingIt)
{
  Ref<GstElement> bin;
  {
    HiddenFactory hidden("h265parse");
    ASSERT_TRUE(hidden.ok());
    ASSERT_FALSE(have_factory("h265parse"));
    bin = gstref::adopt(gst_element_factory_make("h265parsebin", nullptr));
    ASSERT_TRUE(bin);
    gst_object_ref_sink(bin.get());
  }
  // The pads are there even so, so that the bin can be linked and fail cleanly.
  Ref<GstPad> sink = gstref::adopt(gst_element_get_static_pad(bin.get(), "sink"));
  Ref<GstPad> src = gstref::adopt(gst_element_get_static_pad(bin.get(), "src"));
  EXPECT_TRUE(sink && src);

  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(bin.get(), bus.get());
  EXPECT_EQ(gst_element_set_state(bin.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  ASSERT_TRUE(msg);
  GError *error = nullptr;
  gst_message_parse_error(msg.get(), &error, nullptr);
  EXPECT_TRUE(g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN));
  EXPECT_NE(std::string(error->message).find("h265parse"), std::string::npos) << error->message;
  g_clear_error(&error);
  gst_element_set_state(bin.get(), GST_STATE_NULL);
  gst_element_set_bus(bin.get(), nullptr);
}

}  // namespace
