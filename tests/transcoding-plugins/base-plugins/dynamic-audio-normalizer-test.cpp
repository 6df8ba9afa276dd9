#include "transcoding-plugins/base-plugins/dynamic-audio-normalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

constexpr int kRate = 48000;

// Interleaved stereo tones at -30 dBFS with a -45 dBFS passage from 2 s to 4 s.
std::vector<double>
signal(double start_s, int frames, int rate)
{
  std::vector<double> s(frames * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = start_s + static_cast<double>(i / 2) / rate;
    const double level = std::pow(10.0, ((t >= 2.0 && t < 4.0) ? -45.0 : -30.0) / 20.0);
    s[i] = level * std::sin(2 * 3.141592653589793 * (i % 2 ? 550 : 440) * t);
  }
  return s;
}

// How the stream goes on before a piece of audio.
enum class Begin { kGoOn, kDiscont, kFlush, kRestart, kNewRate };
struct Piece {
  Begin begin;
  double start_s;
  int frames;  // 0: one empty buffer
  int rate = kRate;
};

// The element works in the format of the parameter; the harness feeds and reads F64LE stereo.
class DynamicAudioNormalizerTest : public ::testing::TestWithParam<const char *> {
 protected:
  static size_t frames_of(const Ref<GstBuffer> &b) { return gst_buffer_get_size(b.get()) / 16; }
  void set_caps(int rate) {
    gst_harness_set_src_caps_str(h_.get(), ("audio/x-raw,format=F64LE,channels=2,rate=" +
                                            std::to_string(rate) + ",layout=interleaved").c_str());
  }
  void start(const char *frame_length, const char *filter_size) {
    h_.reset(gst_harness_new_parse(
        (std::string("audioconvert ! audio/x-raw,format=") + GetParam() +
         " ! dynamicaudionormalizer max-amplification=100 frame-length=" + frame_length +
         " filter-size=" + filter_size + " ! audioconvert").c_str()));
    gst_harness_set_sink_caps_str(h_.get(), "audio/x-raw,format=F64LE");
    set_caps(kRate);
  }
  // The piece's audio in 20 ms buffers.
  void push(const Piece &p) {
    const std::vector<double> s = signal(p.start_s, p.frames, p.rate);
    const int step = p.rate / 50;
    for (int done = 0; done < std::max(p.frames, 1); done += step) {
      const auto *from = reinterpret_cast<const guint8 *>(s.data() + done * 2);
      GstBuffer *b =
          make_buffer(std::vector<guint8>(from, from + std::min(step, p.frames - done) * 16),
                      p.start_s * GST_SECOND + gst_util_uint64_scale(done, GST_SECOND, p.rate));
      if (p.begin == Begin::kDiscont && done == 0) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
      ASSERT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
    }
  }
  Harness h_;
};

struct Case {
  const char *name, *frame_length, *filter_size;
  GstClockTime latency;  // what the normaliser holds
  std::vector<Piece> pieces;
};

// Around discontinuities, flushes, restarts, rate changes and an empty last buffer, every frame
// pushed after the last flush or restart comes out once, on a timeline contiguous from where
// its piece started; nothing from before a flush or restart comes out after it. Settings the
// engine cannot take are clamped: an even filter size becomes odd, a zero frame length its
// shortest one.
const Case kCases[] = {
    {"quiet passage", "100", "5", ms(600), {{Begin::kGoOn, 0, 6 * kRate}}},
    {"discont", "100", "3", ms(400),
     {{Begin::kGoOn, 0, kRate + 500}, {Begin::kDiscont, 10, kRate}}},
    {"flushing seek, clamped settings", "0", "4", ms(60),
     {{Begin::kGoOn, 0, kRate}, {Begin::kFlush, 3, kRate / 2}}},
    {"restart", "100", "3", ms(400),
     {{Begin::kGoOn, 0, kRate / 2}, {Begin::kRestart, 0, kRate / 4}}},
    {"new rate", "100", "3", ms(400),
     {{Begin::kGoOn, 0, kRate}, {Begin::kNewRate, 1, 44100, 44100}}},
    {"empty last buffer", "100", "3", ms(400), {{Begin::kGoOn, 0, kRate}, {Begin::kGoOn, 1, 0}}},
};

TEST_P(DynamicAudioNormalizerTest, EveryFrameOnceOnAContiguousTimeline_QuietPassageRaised)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    start(c.frame_length, c.filter_size);
    EXPECT_EQ(gst_harness_query_latency(h_.get()), c.latency);
    size_t first_kept = 0;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      const Piece &p = c.pieces[i];
      if (p.begin == Begin::kFlush)
        for (GstEvent *e : {gst_event_new_flush_start(), gst_event_new_flush_stop(TRUE),
                            time_segment_event(0)})
          gst_harness_push_event(h_.get(), e);
      if (p.begin == Begin::kRestart) {
        ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
        ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
        gst_harness_push_event(h_.get(), gst_event_new_stream_start("restart"));
      }
      if (p.begin == Begin::kRestart || p.begin == Begin::kNewRate) set_caps(p.rate);
      if (p.begin == Begin::kFlush || p.begin == Begin::kRestart)
        pull_all(h_.get()), first_kept = i;
      push(p);
    }
    ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
    const std::vector<Ref<GstBuffer>> out = pull_all(h_.get());
    std::vector<double> samples;
    for (const auto &b : out) {
      samples.resize(samples.size() + frames_of(b) * 2);
      gst_buffer_extract(b.get(), 0, samples.data() + samples.size() - frames_of(b) * 2,
                         frames_of(b) * 16);
    }
    size_t outside = samples.size() / 2;
    for (size_t i = first_kept; i < c.pieces.size(); ++i) {
      const Piece &p = c.pieces[i];
      const GstClockTime start = p.start_s * GST_SECOND,
                         end = start + gst_util_uint64_scale(p.frames, GST_SECOND, p.rate);
      GstClockTime next = start;
      size_t frames = 0;
      for (const auto &b : out) {
        const GstClockTime pts = GST_BUFFER_PTS(b.get());
        if (pts < start || pts >= end) continue;
        EXPECT_TRUE(frames > 0 || p.begin != Begin::kDiscont || GST_BUFFER_IS_DISCONT(b.get()));
        EXPECT_EQ(pts, next);
        EXPECT_EQ(GST_BUFFER_DURATION(b.get()), frames_of(b) * GST_SECOND / p.rate);
        frames += frames_of(b);
        next = pts + GST_BUFFER_DURATION(b.get());
      }
      EXPECT_EQ(frames, static_cast<size_t>(p.frames)) << "piece " << i;
      outside -= frames;
    }
    EXPECT_EQ(outside, 0u) << "frames outside the kept pieces";
    if (c.pieces.size() > 1) continue;

    // The quiet passage is raised and the loud parts settle near the peak value, which no
    // sample leaves, as ffmpeg's dynaudnorm does it (the same engine, so a check of the
    // settings, the conversions, the FIFO and the drain).
    const std::vector<double> in = signal(0.0, 6 * kRate, kRate);
    const std::string file = std::string("dan-quiet-passage-") + GetParam() + ".f64";
    ASSERT_TRUE(g_file_set_contents(file.c_str(), reinterpret_cast<const char *>(in.data()),
                                    in.size() * sizeof(double), nullptr));
    const CommandResult ff = run_command(
        "ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -f f64le -ar 48000 -ac 2 -i " +
        file + " -af dynaudnorm=f=100:g=5:p=0.95:m=100 -f f64le -");
    ASSERT_EQ(ff.output.size(), samples.size() * sizeof(double));
    const auto *reference = reinterpret_cast<const double *>(ff.output.data());
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), reference,
                           [](double a, double b) { return std::fabs(a - b) < 1e-4; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DynamicAudioNormalizerTest, ::testing::Values("F32LE", "F64LE"));

// Without a usable library the element cannot go to READY; its error names the file and what
// the loader said, and the rest of the module works. The path is looked up at each change to
// READY, so one process can try several.
TEST(DynamicAudioNormalizerLoadTest, UnusableLibrary_ReadyFailsWithNotFound)
{
  const std::pair<const char *, const char *> kCases[] = {
      {"/nonexistent/libdynamic-audio-normalizer.so", "No such file"},
      {NORMALIZER_STUB_DIR "/libstub-no-version.so", "dan_abi_version"},
      {NORMALIZER_STUB_DIR "/libstub-wrong-abi.so", "ABI version 99, expected 1"},
      {NORMALIZER_STUB_DIR "/libstub-no-calls.so", "dan_create"},
  };
  const std::string working = g_getenv("BASE_PLUGINS_NORMALIZER_LIBRARY");
  for (const auto &[path, loader_says] : kCases) {
    SCOPED_TRACE(path);
    g_setenv("BASE_PLUGINS_NORMALIZER_LIBRARY", path, TRUE);
    Ref<GstElement> e = gstref::adopt(
        GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("dynamicaudionormalizer", 0))));
    Ref<GstBus> bus = gstref::adopt(gst_bus_new());
    gst_element_set_bus(e.get(), bus.get());
    EXPECT_EQ(gst_element_set_state(e.get(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    Ref<GstMessage> msg = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    ASSERT_TRUE(msg);
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *debug = nullptr;
    gst_message_parse_error(msg.get(), &error, &debug);
    EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND) &&
                strstr(error->message, path) && strstr(debug, loader_says))
        << error->message << " / " << debug;
  }
  g_setenv("BASE_PLUGINS_NORMALIZER_LIBRARY", working.c_str(), TRUE);
  EXPECT_TRUE(run_pipeline("fakesrc num-buffers=3 ! bufferskip ! fakesink").ok);
}

}  // namespace
