#include "transcoding-plugins/base-plugins/dynamic-audio-normalizer.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

constexpr int kRate = 48000;

double
level_at(double t)
{
  return std::pow(10.0, ((t >= 2.0 && t < 4.0) ? -45.0 : -30.0) / 20.0);
}

// Interleaved stereo tones at -30 dBFS with a -45 dBFS passage from 2 s to 4 s.
std::vector<double>
signal(double start_s, int frames, int rate)
{
  std::vector<double> s(frames * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = start_s + static_cast<double>(i / 2) / rate;
    s[i] = level_at(t) * std::sin(2 * 3.141592653589793 * (i % 2 ? 550 : 440) * t);
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

class DynamicAudioNormalizerTest : public ::testing::TestWithParam<const char *> {
 protected:
  size_t width() const { return std::string(GetParam()) == "F64LE" ? 8 : 4; }
  size_t frames_of(const Ref<GstBuffer> &b) const {
    return gst_buffer_get_size(b.get()) / 2 / width();
  }
  void set_caps(int rate) {
    gst_harness_set_src_caps_str(h_.get(), (std::string("audio/x-raw,format=") + GetParam() +
                                            ",rate=" + std::to_string(rate) +
                                            ",channels=2,layout=interleaved").c_str());
  }
  void start(const char *frame_length, const char *filter_size) {
    h_ = make_harness("dynamicaudionormalizer", nullptr, nullptr);
    gst_util_set_object_arg(G_OBJECT(h_->element), "frame-length", frame_length);
    gst_util_set_object_arg(G_OBJECT(h_->element), "filter-size", filter_size);
    g_object_set(h_->element, "max-amplification", 100.0, nullptr);
    set_caps(kRate);
  }
  // The piece's audio in 20 ms buffers.
  void push(const Piece &p) {
    const std::vector<double> s = signal(p.start_s, p.frames, p.rate);
    const int step = p.rate / 50;
    for (int done = 0; done < std::max(p.frames, 1); done += step) {
      const int n = std::min(step, p.frames - done);
      GstBuffer *b = gst_buffer_new_allocate(nullptr, n * 2 * width(), nullptr);
      {
        gstref::BufferMap map(b, GST_MAP_WRITE);
        for (int i = 0; i < n * 2; ++i) {
          if (width() == 8) reinterpret_cast<double *>(map.data())[i] = s[done * 2 + i];
          else reinterpret_cast<float *>(map.data())[i] = static_cast<float>(s[done * 2 + i]);
        }
      }
      GST_BUFFER_PTS(b) = p.start_s * GST_SECOND + gst_util_uint64_scale(done, GST_SECOND, p.rate);
      if (p.begin == Begin::kDiscont && done == 0) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
      ASSERT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
    }
  }
  Harness h_;
};

// The quiet passage is raised and the loud parts settle near the peak value, which no sample
// leaves; every frame comes out, as ffmpeg's dynaudnorm (the same engine, so a check of the
// conversions, the FIFO and the drain) gives them.
TEST_P(DynamicAudioNormalizerTest, QuietPassage_RaisedToPeakValueLikeFfmpeg)
{
  start("100", "5");
  push({Begin::kGoOn, 0.0, 6 * kRate});
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  std::vector<double> out;
  for (const auto &b : pull_all(h_.get())) {
    gstref::BufferMap map(b.get(), GST_MAP_READ);
    for (size_t i = 0; i < map.size() / width(); ++i)
      out.push_back(width() == 8 ? reinterpret_cast<const double *>(map.data())[i]
                                 : reinterpret_cast<const float *>(map.data())[i]);
  }
  ASSERT_EQ(out.size(), 6u * kRate * 2);
  // Per half second, away from the transitions: the gain is the output's peak over the input's.
  std::vector<double> gains;
  for (int w = 0; w < 12; ++w) {
    const double peak = std::fabs(*std::max_element(
        out.begin() + w * kRate, out.begin() + (w + 1) * kRate,
        [](double a, double b) { return std::fabs(a) < std::fabs(b); }));
    gains.push_back(peak / level_at(w / 2.0));
    EXPECT_LE(peak, 0.95 + 1e-6) << w;
    EXPECT_TRUE(!(w == 2 || w == 3 || w >= 10) || std::fabs(peak - 0.95) < 0.05) << w;
  }
  EXPECT_GT(gains[6], 3 * gains[2]);   // quiet passage, settled
  EXPECT_GT(gains[6], 3 * gains[10]);  // and back down after it

  if (!have_program("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
  const std::vector<double> in = signal(0.0, 6 * kRate, kRate);
  const std::string file = std::string("dan-quiet-passage-") + GetParam() + ".f64";
  ASSERT_TRUE(g_file_set_contents(file.c_str(), reinterpret_cast<const char *>(in.data()),
                                  in.size() * sizeof(double), nullptr));
  const CommandResult ff = run_command(
      "ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -f f64le -ar 48000 -ac 2 -i " + file +
      " -af dynaudnorm=f=100:g=5:p=0.95:m=100 -f f64le -");
  ASSERT_EQ(ff.output.size(), out.size() * sizeof(double));
  const auto *reference = reinterpret_cast<const double *>(ff.output.data());
  double worst = 0.0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - reference[i]));
  EXPECT_LT(worst, 1e-4);
}

// Around discontinuities, flushes, restarts, rate changes and an empty last buffer, every frame
// pushed after the last flush or restart comes out once, on a timeline contiguous from where
// its piece started; nothing from before a flush or restart comes out after it.
TEST_P(DynamicAudioNormalizerTest, StreamBreaks_EveryFrameOnceOnContiguousTimeline)
{
  const struct {
    const char *name;
    std::vector<Piece> pieces;
  } kCases[] = {
      {"discont", {{Begin::kGoOn, 0, kRate + 500}, {Begin::kDiscont, 10, kRate}}},
      {"flushing seek", {{Begin::kGoOn, 0, kRate}, {Begin::kFlush, 3, kRate / 2}}},
      {"restart", {{Begin::kGoOn, 0, kRate / 2}, {Begin::kRestart, 0, kRate / 4}}},
      {"new rate", {{Begin::kGoOn, 0, kRate}, {Begin::kNewRate, 1, 44100, 44100}}},
      {"empty last buffer", {{Begin::kGoOn, 0, kRate}, {Begin::kGoOn, 1, 0}}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    start("100", "3");
    size_t first_kept = 0;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      const Piece &p = c.pieces[i];
      if (p.begin == Begin::kFlush) {
        gst_harness_push_event(h_.get(), gst_event_new_flush_start());
        gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
        gst_harness_push_event(h_.get(), time_segment_event(0));
      } else if (p.begin == Begin::kRestart) {
        ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
        ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
        gst_harness_push_event(h_.get(), gst_event_new_stream_start("restart"));
      }
      if (p.begin == Begin::kRestart || p.begin == Begin::kNewRate) set_caps(p.rate);
      if (p.begin == Begin::kFlush || p.begin == Begin::kRestart) {
        pull_all(h_.get());
        first_kept = i;
      }
      push(p);
    }
    ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
    const std::vector<Ref<GstBuffer>> out = pull_all(h_.get());
    size_t outside = 0;
    for (const auto &b : out) outside += frames_of(b);
    for (size_t i = first_kept; i < c.pieces.size(); ++i) {
      const Piece &p = c.pieces[i];
      GstClockTime next = p.start_s * GST_SECOND;
      const GstClockTime end = next + gst_util_uint64_scale(p.frames, GST_SECOND, p.rate);
      size_t frames = 0;
      for (const auto &b : out) {
        const GstClockTime pts = GST_BUFFER_PTS(b.get());
        if (pts < p.start_s * GST_SECOND || pts >= end) continue;
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
  }
}

// What the normaliser holds; values the engine cannot take are clamped: an even filter size
// becomes odd, a zero frame length its shortest one.
TEST_P(DynamicAudioNormalizerTest, Latency_WhatTheNormaliserHolds)
{
  for (const auto &[frame_length, filter_size, expected] :
       {std::tuple{"100", "3", 4 * 100 * GST_MSECOND}, {"0", "4", 6 * 10 * GST_MSECOND}}) {
    start(frame_length, filter_size);
    EXPECT_EQ(gst_harness_query_latency(h_.get()), expected) << frame_length << "/" << filter_size;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DynamicAudioNormalizerTest, ::testing::Values("F32LE", "F64LE"));

// Without a usable library the element cannot go to READY; its error names the file and what
// the loader said, and the rest of the module works. The path is looked up at each change to
// READY, so one process can try several.
TEST(DynamicAudioNormalizerLoadTest, UnusableLibrary_ReadyFailsWithNotFound)
{
  const struct {
    const char *path, *loader_says;
  } kCases[] = {
      {"/nonexistent/libdynamic-audio-normalizer.so", "No such file"},
      {NORMALIZER_STUB_DIR "/libstub-no-version.so", "dan_abi_version"},
      {NORMALIZER_STUB_DIR "/libstub-wrong-abi.so", "ABI version 99, expected 1"},
  };
  const std::string working = g_getenv("BASE_PLUGINS_NORMALIZER_LIBRARY");
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.path);
    g_setenv("BASE_PLUGINS_NORMALIZER_LIBRARY", c.path, TRUE);
    Ref<GstElement> e = gstref::adopt(
        GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("dynamicaudionormalizer", 0))));
    Ref<GstBus> bus = gstref::adopt(gst_bus_new());
    gst_element_set_bus(e.get(), bus.get());
    EXPECT_EQ(gst_element_set_state(e.get(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    Ref<GstMessage> msg = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    ASSERT_TRUE(msg);
    GError *error = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(msg.get(), &error, &debug);
    EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND));
    EXPECT_NE(std::string(error->message).find(c.path), std::string::npos) << error->message;
    EXPECT_NE(std::string(debug).find(c.loader_says), std::string::npos) << debug;
    g_clear_error(&error);
    g_free(debug);
    EXPECT_TRUE(run_pipeline("fakesrc num-buffers=3 ! bufferskip ! fakesink").ok);
  }
  g_setenv("BASE_PLUGINS_NORMALIZER_LIBRARY", working.c_str(), TRUE);
}

}  // namespace
