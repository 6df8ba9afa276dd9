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
  // Makes the input file; empty for sources that produce the stream directly.
  std::string (*make_input)();
  // Pipeline from {in} to a fakesink named "sink", giving the element's input.
  const char *source;
  // Or: the input made directly (framing no stock element provides).
  CollectResult (*make_stream)(const std::string &input) = nullptr;
  // What downstream accepts (elements that negotiate their output from it).
  const char *sink_caps = "ANY";
};

std::string
no_file()
{
  return "-";
}

std::string
h265_mp4()
{
  return media::gst_clip("corrupt-h265.mkv",
                         "videotestsrc num-buffers=40 pattern=ball ! "
                         "capsfilter caps=video/x-raw,format=I420,width=160,height=120,"
                         "framerate=25/1 ! x265enc speed-preset=ultrafast key-int-max=10 ! "
                         "h265parse ! matroskamux ! filesink location={out}");
}

std::string
aac_adts()
{
  return media::aac_adts(48000, 2);
}

std::string
loas()
{
  return media::aac_loas(48000, 2);
}

std::string
truehd()
{
  return media::truehd(48000, 6);
}

// LOAS as one AudioMuxElement per buffer (aacparse mis-frames LOAS).
CollectResult
split_loas(const std::string &input)
{
  CollectResult r;
  for (auto &frame : split_loas_stream(media::read_file(input)))
    r.buffers.push_back(gstref::adopt(
        make_buffer(frame, r.buffers.size() * 21333333, 21333333)));
  r.caps = gstref::adopt(gst_caps_from_string(
      "audio/mpeg,mpegversion=4,stream-format=loas,framed=true,rate=48000,channels=2"));
  r.ok = !r.buffers.empty();
  return r;
}

// VC-1 advanced profile built with the bit writer (no encoder exists), a frame per buffer.
CollectResult
built_vc1(const std::string &)
{
  namespace v = vc1_stream;
  CollectResult r;
  v::SequenceHeader seq;
  seq.interlace = true;
  v::EntryPoint ep;
  const v::Picture types[] = {v::Picture::kI, v::Picture::kP, v::Picture::kB, v::Picture::kP};
  for (int i = 0; i < 40; ++i) {
    v::Bytes unit;
    if (i % 10 == 0) {
      v::append(unit, v::sequence_header(seq));
      v::append(unit, v::entry_point(seq, ep));
    }
    v::FrameSpec spec;
    spec.type = i % 10 == 0 ? v::Picture::kI : types[i % 4];
    spec.coding = i % 3 == 0 ? v::Coding::kFieldInterlace : v::Coding::kFrameInterlace;
    spec.seed = static_cast<guint8>(i);
    spec.emulation = i % 5 == 0;
    v::append(unit, v::frame(seq, ep, spec));
    if (spec.coding == v::Coding::kFieldInterlace) v::append(unit, v::field());
    r.buffers.push_back(gstref::adopt(make_buffer(unit, i * GST_SECOND / 25, GST_SECOND / 25)));
  }
  r.caps = gstref::adopt(
      gst_caps_from_string("video/x-wmv,wmvversion=3,format=WVC1,width=64,height=64"));
  r.ok = true;
  return r;
}

std::string
h264()
{
  return media::h264_mp4();
}

std::string
vp9()
{
  return media::vp9_superframes_webm();
}

const Case kCases[] = {
    {"h264processor", "h264processor", "x264enc", h264,
     "filesrc location={in} ! qtdemux ! h264parse ! "
     "capsfilter caps=video/x-h264,stream-format=avc,alignment=au ! fakesink name=sink"},
    {"h264postprocessor", "h264postprocessor", "x264enc", h264,
     "filesrc location={in} ! qtdemux ! h264parse ! "
     "capsfilter caps=video/x-h264,stream-format=avc,alignment=au ! fakesink name=sink"},
    {"h265postprocessor", "h265postprocessor", "x265enc", h265_mp4,
     "filesrc location={in} ! matroskademux ! h265parse ! "
     "capsfilter caps=video/x-h265,stream-format=hvc1,alignment=au ! fakesink name=sink"},
    {"vp9superframesplitter", "vp9superframesplitter", "ffmpeg", vp9,
     "filesrc location={in} ! matroskademux ! fakesink name=sink"},
    {"mpegtimestampparser", "mpegtimestampparser", "mpeg2enc", media::mpeg2_ts,
     "filesrc location={in} ! tsdemux ! mpegvideoparse ! fakesink name=sink"},
    {"mpeg4timestampparser", "mpeg4timestampparser", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux ! mpeg4videoparse ! fakesink name=sink"},
    {"mpeg4postprocessor", "mpeg4postprocessor", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux ! mpeg4videoparse ! fakesink name=sink"},
    {"aactransform-adts", "aactransform", "avenc_aac", aac_adts,
     "filesrc location={in} ! aacparse ! fakesink name=sink"},
    {"aactransform-loas", "aactransform", "ffmpeg", loas, nullptr, split_loas,
     "audio/mpeg,mpegversion=4,stream-format=raw"},
    {"mlpparse", "mlpparse", "ffmpeg", truehd,
     "filesrc location={in} blocksize=1000 ! capsfilter caps=audio/x-true-hd ! "
     "fakesink name=sink"},
    {"yv12converter", "yv12converter", "videotestsrc", no_file,
     "videotestsrc num-buffers=20 ! capsfilter caps=video/x-raw,format=YV12,width=66,height=49,"
     "framerate=25/1 ! fakesink name=sink"},
    {"vc1parse2", "vc1parse2", "vc1parse2", no_file, nullptr, built_vc1},
};

bool
available(const char *what)
{
  return have_factory(what) || have_program(what);
}

// Applies seeded damage to a copy of `in`; returns nullptr when the buffer is dropped.
GstBuffer *
damage(GstBuffer *in, std::mt19937 &rng)
{
  std::uniform_int_distribution<int> percent(0, 99);
  if (percent(rng) < 5) return nullptr;
  std::vector<guint8> bytes = buffer_bytes(in);
  if (!bytes.empty() && percent(rng) < 10)
    bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng));
  if (!bytes.empty()) {
    const int flips = percent(rng) < 30 ? 1 + percent(rng) / 10 : 0;
    for (int i = 0; i < flips; ++i)
      bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng)] ^=
          static_cast<guint8>(1u << (rng() % 8));
  }
  GstBuffer *out = make_buffer(bytes, GST_BUFFER_PTS(in), GST_BUFFER_DURATION(in),
                               GST_BUFFER_DTS(in));
  GST_BUFFER_FLAGS(out) = GST_BUFFER_FLAGS(in);
  if (percent(rng) < 5) GST_BUFFER_PTS(out) = GST_CLOCK_TIME_NONE;
  if (percent(rng) < 3) GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
  return out;
}

class Corruption : public ::testing::TestWithParam<Case> {};

TEST_P(Corruption, DamagedStreamsEndCleanly)
{
  const Case &c = GetParam();
  if (!have_factory(c.factory)) GTEST_SKIP() << c.factory << " is not built";
  if (!available(c.needs)) GTEST_SKIP() << "needs " << c.needs;
  const std::string input = c.make_input();
  ASSERT_FALSE(input.empty());
  CollectResult stream;
  if (c.make_stream) {
    stream = c.make_stream(input);
  } else {
    std::string description = c.source;
    if (const auto pos = description.find("{in}"); pos != std::string::npos)
      description.replace(pos, 4, input);
    stream = collect_buffers(description);
  }
  ASSERT_TRUE(stream.ok) << stream.error;
  ASSERT_GE(stream.buffers.size(), 10u);
  ASSERT_TRUE(stream.caps);

  // Seed 0 is the undamaged stream: it must flow, or the damaged runs prove nothing.
  for (unsigned seed = 0; seed <= 40; ++seed) {
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
      if (seed == 0) {
        ASSERT_EQ(ret, GST_FLOW_OK);
      }
      // Errors and EOS end a damaged stream cleanly; anything else must keep flowing.
      if (ret != GST_FLOW_OK) break;
      out_buffers += pull_all(h.get()).size();
    }
    gst_harness_push_event(h.get(), gst_event_new_eos());
    out_buffers += pull_all(h.get()).size();
    if (seed == 0) {
      RecordProperty("input_buffers", static_cast<int>(stream.buffers.size()));
      RecordProperty("output_buffers", static_cast<int>(out_buffers));
      EXPECT_GE(out_buffers, stream.buffers.size() / 2);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(20)) << "no damaged stream may stall the element";
  }
}

INSTANTIATE_TEST_SUITE_P(BitstreamElements, Corruption, ::testing::ValuesIn(kCases),
                         [](const auto &info) {
                           std::string n = info.param.name;
                           for (char &ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
