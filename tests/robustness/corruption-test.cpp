// Every bitstream element fed real streams with seeded random damage: byte flips, truncated
// buffers, dropped buffers, lost timestamps. Each run must reach EOS (or a clean flow error)
// within a time bound, without crashing, leaking or logging a GLib critical.
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

struct Case {
  const char *name;
  const char *factory;
  const char *needs;  // encoder or program the source needs
  // Makes the input file for `source`, a pipeline from {in} to a fakesink named "sink" giving
  // the element's input; or, without a source, makes that input directly (framing no stock
  // element provides).
  std::string (*make_input)();
  const char *source;
  CollectResult (*make_stream)() = nullptr;
  // What downstream accepts (elements that negotiate their output from it).
  const char *sink_caps = "ANY";
};

// LOAS as one AudioMuxElement per buffer (aacparse mis-frames LOAS).
CollectResult
split_loas()
{
  CollectResult r;
  for (auto &frame : split_loas_stream(media::read_file(media::aac_loas(48000, 2))))
    r.buffers.push_back(gstref::adopt(make_buffer(frame, r.buffers.size() * 21333333, 21333333)));
  r.caps = gstref::adopt(gst_caps_from_string(
      "audio/mpeg,mpegversion=4,stream-format=loas,framed=true,rate=48000,channels=2"));
  r.ok = !r.buffers.empty();
  return r;
}

// VC-1 advanced profile built with the bit writer (no encoder exists), a frame per buffer.
CollectResult
built_vc1()
{
  namespace v = vc1_stream;
  CollectResult r;
  const v::SequenceHeader seq{.interlace = true};
  const v::Picture types[] = {v::Picture::kI, v::Picture::kP, v::Picture::kB, v::Picture::kP};
  for (int i = 0; i < 40; ++i) {
    v::Bytes unit = i % 10 ? v::Bytes{} : v::sequence_header(seq) + v::entry_point(seq);
    v::FrameSpec spec{.coding = i % 3 ? v::Coding::kFrameInterlace : v::Coding::kFieldInterlace,
                      .type = i % 10 == 0 ? v::Picture::kI : types[i % 4],
                      .seed = static_cast<guint8>(i),
                      .emulation = i % 5 == 0};
    append(unit, v::frame(seq, {}, spec) + (i % 3 ? v::Bytes{} : v::field()));
    r.buffers.push_back(gstref::adopt(make_buffer(unit, i * GST_SECOND / 25, GST_SECOND / 25)));
  }
  r.caps = gstref::adopt(
      gst_caps_from_string("video/x-wmv,wmvversion=3,format=WVC1,width=64,height=64"));
  r.ok = true;
  return r;
}

constexpr const char *kAvc =
    "filesrc location={in} ! qtdemux ! h264parse ! "
    "capsfilter caps=video/x-h264,stream-format=avc,alignment=au ! fakesink name=sink";

const Case kCases[] = {
    {"h264processor", "h264processor", "x264enc", media::h264_mp4, kAvc},
    {"h264postprocessor", "h264postprocessor", "x264enc", media::h264_mp4, kAvc},
    {"h265postprocessor", "h265postprocessor", "x265enc",
     [] {
       return media::gst_clip("corrupt-h265.mkv",
                              "videotestsrc num-buffers=30 pattern=ball ! "
                              "capsfilter caps=video/x-raw,format=I420,width=64,height=64,"
                              "framerate=25/1 ! x265enc speed-preset=ultrafast key-int-max=10 ! "
                              "h265parse ! matroskamux ! filesink location={out}");
     },
     "filesrc location={in} ! matroskademux ! h265parse ! "
     "capsfilter caps=video/x-h265,stream-format=hvc1,alignment=au ! fakesink name=sink"},
    {"vp9superframesplitter", "vp9superframesplitter", "ffmpeg", media::vp9_superframes_webm,
     "filesrc location={in} ! matroskademux ! fakesink name=sink"},
    {"mpegtimestampparser", "mpegtimestampparser", "mpeg2enc", media::mpeg2_ts,
     "filesrc location={in} ! tsdemux ! mpegvideoparse ! fakesink name=sink"},
    {"mpeg4timestampparser", "mpeg4timestampparser", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux ! mpeg4videoparse ! fakesink name=sink"},
    {"mpeg4postprocessor", "mpeg4postprocessor", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux ! mpeg4videoparse ! fakesink name=sink"},
    {"aactransform_adts", "aactransform", "avenc_aac", [] { return media::aac_adts(48000, 2); },
     "filesrc location={in} ! aacparse ! fakesink name=sink"},
    {"aactransform_loas", "aactransform", "ffmpeg", nullptr, nullptr, split_loas,
     "audio/mpeg,mpegversion=4,stream-format=raw"},
    {"mlpparse", "mlpparse", "ffmpeg", [] { return media::truehd(48000, 6); },
     "filesrc location={in} blocksize=1000 ! capsfilter caps=audio/x-true-hd ! "
     "fakesink name=sink"},
    {"yv12converter", "yv12converter", "videotestsrc", nullptr,
     "videotestsrc num-buffers=20 ! capsfilter caps=video/x-raw,format=YV12,width=66,height=49,"
     "framerate=25/1 ! fakesink name=sink"},
    {"vc1parse2", "vc1parse2", "vc1parse2", nullptr, nullptr, built_vc1},
};

// Applies seeded damage to a copy of `in`; returns nullptr when the buffer is dropped.
GstBuffer *
damage(GstBuffer *in, std::mt19937 &rng)
{
  std::uniform_int_distribution<int> percent(0, 99);
  if (percent(rng) < 8) return nullptr;
  std::vector<guint8> bytes = buffer_bytes(in);
  if (!bytes.empty() && percent(rng) < 15)
    bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng));
  if (!bytes.empty()) {
    const int flips = percent(rng) < 50 ? 1 + percent(rng) / 10 : 0;
    for (int i = 0; i < flips; ++i)
      bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng)] ^=
          static_cast<guint8>(1u << (rng() % 8));
  }
  GstBuffer *out = make_buffer(bytes, GST_BUFFER_PTS(in), GST_BUFFER_DURATION(in),
                               GST_BUFFER_DTS(in));
  GST_BUFFER_FLAGS(out) = GST_BUFFER_FLAGS(in);
  if (percent(rng) < 8) GST_BUFFER_PTS(out) = GST_CLOCK_TIME_NONE;
  if (percent(rng) < 5) GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
  return out;
}

class Corruption : public ::testing::TestWithParam<Case> {};

TEST_P(Corruption, DamagedStreamsEndCleanly)
{
  const Case &c = GetParam();
  if (!have_factory(c.factory)) GTEST_SKIP() << c.factory << " is not built";
  if (!have_factory(c.needs) && !have_program(c.needs)) GTEST_SKIP() << "needs " << c.needs;
  CollectResult stream;
  if (c.make_stream) {
    stream = c.make_stream();
  } else {
    std::string description = c.source;
    if (const auto pos = description.find("{in}"); pos != std::string::npos)
      description.replace(pos, 4, c.make_input());
    stream = collect_buffers(description);
  }
  ASSERT_TRUE(stream.ok) << stream.error;
  ASSERT_GE(stream.buffers.size(), 10u);
  ASSERT_TRUE(stream.caps);
  // Forty buffers hold every kind of unit the sources make; more only cost time.
  if (stream.buffers.size() > 40) stream.buffers.resize(40);

  // Seed 0 is the undamaged stream: it must flow, or the damaged runs prove nothing.
  for (unsigned seed = 0; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    Harness h = make_harness(c.factory);
    gst_harness_set_src_caps(h.get(), gst_caps_copy(stream.caps.get()));
    gst_harness_set_sink_caps_str(h.get(), c.sink_caps);
    size_t out_buffers = 0;
    for (auto &in : stream.buffers) {
      GstBuffer *b = seed == 0 ? gst_buffer_copy(in.get()) : damage(in.get(), rng);
      if (!b) continue;
      const GstFlowReturn ret = gst_harness_push(h.get(), b);
      ASSERT_TRUE(seed != 0 || ret == GST_FLOW_OK) << "the undamaged stream must flow";
      // Errors and EOS end a damaged stream cleanly; anything else must keep flowing.
      if (ret != GST_FLOW_OK) break;
      out_buffers += pull_all(h.get()).size();
    }
    gst_harness_push_event(h.get(), gst_event_new_eos());
    out_buffers += pull_all(h.get()).size();
    EXPECT_TRUE(seed != 0 || out_buffers >= stream.buffers.size() / 2) << "output of the clean run";
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(20)) << "no damaged stream may stall the element";
  }
}

INSTANTIATE_TEST_SUITE_P(BitstreamElements, Corruption, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
