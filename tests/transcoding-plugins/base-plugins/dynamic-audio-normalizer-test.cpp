#include "transcoding-plugins/base-plugins/dynamic-audio-normalizer.h"

#include <gst/base/gstbasetransform.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBufferFrames = 960;  // 20 ms
constexpr double kPi = 3.141592653589793;
const double kLoud = std::pow(10.0, -30.0 / 20.0);
const double kQuiet = std::pow(10.0, -45.0 / 20.0);

// Stereo test signal: tones at -30 dBFS with a -45 dBFS passage from 2 s to 4 s.
std::vector<double>
signal(int frames)
{
  std::vector<double> s(static_cast<size_t>(frames) * kChannels);
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double level = (t >= 2.0 && t < 4.0) ? kQuiet : kLoud;
    s[2 * i] = level * std::sin(2 * kPi * 440 * t);
    s[2 * i + 1] = level * std::sin(2 * kPi * 550 * t);
  }
  return s;
}

std::string
caps_for(const char *format, int rate = kRate)
{
  return std::string("audio/x-raw,format=") + format + ",rate=" + std::to_string(rate) +
         ",channels=2,layout=interleaved,channel-mask=(bitmask)0x3";
}

// Independent level meter over windows of the output.
struct Level {
  double peak = 0.0;
  double rms = 0.0;
};
Level
measure(const std::vector<double> &s, size_t from_frame, size_t to_frame)
{
  Level l;
  double sum = 0.0;
  for (size_t i = from_frame * kChannels; i < to_frame * kChannels; ++i) {
    l.peak = std::max(l.peak, std::fabs(s[i]));
    sum += s[i] * s[i];
  }
  l.rms = std::sqrt(sum / ((to_frame - from_frame) * kChannels));
  return l;
}

struct Output {
  std::vector<double> samples;
  std::vector<Ref<GstBuffer>> buffers;
};

class DynamicAudioNormalizerTest : public ::testing::TestWithParam<const char *> {
 protected:
  bool is_double() const { return std::strcmp(GetParam(), "F64LE") == 0; }
  size_t sample_bytes() const { return is_double() ? 8 : 4; }

  void start(const std::string &properties, int rate = kRate) {
    h_ = make_harness("dynamicaudionormalizer", nullptr, nullptr);
    for (const std::string &p : split(properties)) {
      const size_t eq = p.find('=');
      gst_util_set_object_arg(G_OBJECT(h_->element), p.substr(0, eq).c_str(),
                              p.substr(eq + 1).c_str());
    }
    // Properties take effect when the normaliser is built for a format.
    gst_harness_set_src_caps_str(h_.get(), caps_for(GetParam(), rate).c_str());
  }
  static std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < s.size()) {
      size_t end = s.find(' ', pos);
      if (end == std::string::npos) end = s.size();
      if (end > pos) out.push_back(s.substr(pos, end - pos));
      pos = end + 1;
    }
    return out;
  }
  GstBuffer *make(const std::vector<double> &s, size_t first_frame, size_t frames, GstClockTime pts) {
    GstBuffer *b = gst_buffer_new_allocate(nullptr, frames * kChannels * sample_bytes(), nullptr);
    GstMapInfo map;
    gst_buffer_map(b, &map, GST_MAP_WRITE);
    for (size_t i = 0; i < frames * kChannels; ++i) {
      const double v = s[first_frame * kChannels + i];
      if (is_double())
        reinterpret_cast<double *>(map.data)[i] = v;
      else
        reinterpret_cast<float *>(map.data)[i] = static_cast<float>(v);
    }
    gst_buffer_unmap(b, &map);
    GST_BUFFER_PTS(b) = pts;
    return b;
  }
  // Pushes s[first, first + frames) in 20 ms buffers with PTS from `pts`.
  void push(const std::vector<double> &s, size_t first, size_t frames, GstClockTime pts,
            bool discont = false) {
    for (size_t done = 0; done < frames; done += kBufferFrames) {
      const size_t n = std::min<size_t>(kBufferFrames, frames - done);
      GstBuffer *b = make(s, first + done, n, pts + gst_util_uint64_scale(done, GST_SECOND, kRate));
      if (discont && done == 0) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
      ASSERT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
    }
  }
  Output pull() {
    Output out;
    for (auto &b : pull_all(h_.get())) {
      GstMapInfo map;
      gst_buffer_map(b.get(), &map, GST_MAP_READ);
      for (size_t i = 0; i < map.size / sample_bytes(); ++i)
        out.samples.push_back(is_double() ? reinterpret_cast<const double *>(map.data)[i]
                                          : reinterpret_cast<const float *>(map.data)[i]);
      gst_buffer_unmap(b.get(), &map);
      out.buffers.push_back(std::move(b));
    }
    return out;
  }
  // PTS continuous from `start`, durations matching the sizes.
  void expect_contiguous(const std::vector<Ref<GstBuffer>> &buffers, GstClockTime start,
                         size_t from = 0, size_t to = SIZE_MAX) {
    GstClockTime expected = start;
    for (size_t i = from; i < std::min(to, buffers.size()); ++i) {
      GstBuffer *b = buffers[i].get();
      const guint64 frames = gst_buffer_get_size(b) / kChannels / sample_bytes();
      EXPECT_EQ(GST_BUFFER_PTS(b), expected) << i;
      EXPECT_EQ(GST_BUFFER_DURATION(b), frames * GST_SECOND / kRate) << i;
      expected = GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b);
    }
  }
  GstClockTime latency() {
    GstQuery *q = gst_query_new_latency();
    GstClockTime min = GST_CLOCK_TIME_NONE;
    if (gst_pad_query(GST_BASE_TRANSFORM_SRC_PAD(h_->element), q))
      gst_query_parse_latency(q, nullptr, &min, nullptr);
    gst_query_unref(q);
    return min;
  }
  Harness h_;
};

// The quiet passage is raised and the loud parts settle near the peak value; no sample ever
// leaves it; every frame comes out, on a contiguous timeline.
TEST_P(DynamicAudioNormalizerTest, QuietPassage_GainRisesPeaksStayBelowPeakValue)
{
  start("frame-length=100 filter-size=5 max-amplification=100");
  const int frames = 6 * kRate;
  const std::vector<double> in = signal(frames);
  push(in, 0, frames, 0);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  Output out = pull();
  ASSERT_EQ(out.samples.size(), in.size());
  expect_contiguous(out.buffers, 0);

  double max_peak = 0.0;
  for (double v : out.samples) max_peak = std::max(max_peak, std::fabs(v));
  EXPECT_LE(max_peak, 0.95 + 1e-6);
  // Per half second, away from the transitions.
  std::vector<double> gains;
  for (int w = 0; w < 12; ++w) {
    const size_t a = w * kRate / 2, b = a + kRate / 2;
    const Level o = measure(out.samples, a, b), i = measure(in, a, b);
    gains.push_back(o.rms / i.rms);
    if (w == 2 || w == 3 || w == 10 || w == 11) {
      EXPECT_NEAR(o.peak, 0.95, 0.05) << w;
    }
  }
  EXPECT_GT(gains[6], 3 * gains[2]);   // quiet passage, settled
  EXPECT_GT(gains[6], 3 * gains[10]);  // and back down after it
}

TEST_P(DynamicAudioNormalizerTest, Discont_DrainsAndResumesAtTheNewTime)
{
  start("frame-length=100 filter-size=3");
  const std::vector<double> in = signal(3 * kRate);
  push(in, 0, kRate + 500, 0);
  push(in, kRate, kRate, 10 * GST_SECOND, true);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  Output out = pull();
  EXPECT_EQ(out.samples.size(), (2 * kRate + 500) * kChannels);
  // The first stretch ends exactly where its frames end, then the new one starts at 10 s.
  size_t split = 0;
  while (split < out.buffers.size() && GST_BUFFER_PTS(out.buffers[split].get()) < 10 * GST_SECOND)
    ++split;
  ASSERT_LT(split, out.buffers.size());
  expect_contiguous(out.buffers, 0, 0, split);
  expect_contiguous(out.buffers, 10 * GST_SECOND, split);
  EXPECT_TRUE(GST_BUFFER_IS_DISCONT(out.buffers[split].get()));
  size_t first_frames = 0;
  for (size_t i = 0; i < split; ++i)
    first_frames += gst_buffer_get_size(out.buffers[i].get()) / kChannels / sample_bytes();
  EXPECT_EQ(first_frames, static_cast<size_t>(kRate + 500));
}

// A new format rebuilds the normaliser; what the old one held still comes out first.
TEST_P(DynamicAudioNormalizerTest, FormatChange_HeldAudioIsNotLost)
{
  start("frame-length=100 filter-size=3");
  const std::vector<double> in = signal(2 * kRate);
  push(in, 0, kRate, 0);
  const size_t before = pull().samples.size();
  EXPECT_LT(before, static_cast<size_t>(kRate * kChannels));  // the normaliser holds some
  gst_harness_set_src_caps_str(h_.get(), caps_for(GetParam(), 44100).c_str());
  EXPECT_EQ(before + pull().samples.size(), static_cast<size_t>(kRate * kChannels));
}

TEST_P(DynamicAudioNormalizerTest, Latency_WhatTheNormaliserHolds)
{
  start("frame-length=100 filter-size=3");
  EXPECT_EQ(latency(), 4 * 100 * GST_MSECOND);
  // Values the engine cannot take are clamped: an even filter size becomes odd, a zero frame
  // length its shortest one.
  start("frame-length=0 filter-size=4");
  EXPECT_EQ(latency(), 6 * 10 * GST_MSECOND);
}

INSTANTIATE_TEST_SUITE_P(Formats, DynamicAudioNormalizerTest, ::testing::Values("F32LE", "F64LE"));

// 6 s of stereo F32LE at 48 kHz with a quiet passage, as a WAV file.
std::string
quiet_passage_wav()
{
  return media::command_clip(
      "quiet-passage.wav",
      "ffmpeg -nostdin -y -f lavfi -i \"aevalsrc=0.0316*(1-0.82*between(t\\,2\\,4))*"
      "sin(2*PI*440*t)|0.0316*(1-0.82*between(t\\,2\\,4))*sin(2*PI*550*t):s=48000:d=6.01\" "
      "-c:a pcm_f32le {out}");
}

// What reaches a fakesink, and what entered the element, after the last flush.
struct Recorded {
  std::vector<float> in, out;
  std::vector<Ref<GstBuffer>> out_buffers;
  GstClockTime first_in_pts = GST_CLOCK_TIME_NONE;
};

GstPadProbeReturn
record(GstPad *, GstPadProbeInfo *info, gpointer data)
{
  auto *target = static_cast<std::pair<Recorded *, bool> *>(data);
  Recorded &r = *target->first;
  const bool is_in = target->second;
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_FLUSH) {
    GstEvent *e = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_STOP) {
      (is_in ? r.in : r.out).clear();
      if (is_in) r.first_in_pts = GST_CLOCK_TIME_NONE;
      else r.out_buffers.clear();
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *b = GST_PAD_PROBE_INFO_BUFFER(info);
  std::vector<float> &v = is_in ? r.in : r.out;
  const size_t old = v.size();
  v.resize(old + gst_buffer_get_size(b) / sizeof(float));
  gst_buffer_extract(b, 0, v.data() + old, gst_buffer_get_size(b));
  if (is_in && !GST_CLOCK_TIME_IS_VALID(r.first_in_pts)) r.first_in_pts = GST_BUFFER_PTS(b);
  if (!is_in) r.out_buffers.push_back(gstref::retain(b));
  return GST_PAD_PROBE_OK;
}

// Runs `description` (with "norm" and "sink" elements); `seek_to`, when valid, is a flushing
// seek made once the pipeline has prerolled.
Recorded
run_recorded(const std::string &description, GstClockTime seek_to = GST_CLOCK_TIME_NONE)
{
  Recorded r;
  GError *error = nullptr;
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), &error));
  EXPECT_TRUE(pipeline && !error) << (error ? error->message : "");
  g_clear_error(&error);
  if (!pipeline) return r;
  gst_object_ref_sink(pipeline.get());
  Ref<GstElement> norm = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "norm"));
  Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  Ref<GstPad> in_pad = gstref::adopt(gst_element_get_static_pad(norm.get(), "sink"));
  Ref<GstPad> out_pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
  std::pair<Recorded *, bool> in_target{&r, true}, out_target{&r, false};
  const auto types =
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_FLUSH);
  gst_pad_add_probe(in_pad.get(), types, record, &in_target, nullptr);
  gst_pad_add_probe(out_pad.get(), types, record, &out_target, nullptr);

  Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
  if (GST_CLOCK_TIME_IS_VALID(seek_to)) {
    gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
    EXPECT_EQ(gst_element_get_state(pipeline.get(), nullptr, nullptr, 30 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    EXPECT_TRUE(gst_element_seek_simple(
        pipeline.get(), GST_FORMAT_TIME,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), seek_to));
  }
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
      bus.get(), 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  EXPECT_TRUE(msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return r;
}

class DynamicAudioNormalizerPipelineTest : public ::testing::Test {};

// The same engine as `ffmpeg -af dynaudnorm`: a plumbing check of the conversions, the FIFO and
// the drain, not an independent oracle.
TEST_F(DynamicAudioNormalizerPipelineTest, MatchesFfmpegDynaudnorm)
{
  if (!have_program("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
  const std::string wav = quiet_passage_wav();
  ASSERT_FALSE(wav.empty());
  const Recorded r = run_recorded(
      "filesrc location=" + wav + " ! wavparse ! dynamicaudionormalizer name=norm "
      "frame-length=100 filter-size=5 max-amplification=100 ! fakesink name=sink sync=false");
  ASSERT_EQ(r.out.size(), r.in.size());
  ASSERT_GT(r.in.size(), 6u * kRate * kChannels);

  const CommandResult ff = run_command(
      "ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -i " + wav +
      " -af dynaudnorm=f=100:g=5:p=0.95:m=100 -f f32le -c:a pcm_f32le -");
  ASSERT_EQ(ff.status, 0);
  std::vector<float> reference(ff.output.size() / sizeof(float));
  std::memcpy(reference.data(), ff.output.data(), reference.size() * sizeof(float));
  // The CLI's last partial frame is unreliable (FFmpeg 5.1 reads past its end): compare the
  // whole frames only.
  const size_t whole = 60 * 4800 * kChannels;
  ASSERT_GE(reference.size(), whole);
  double worst = 0.0;
  for (size_t i = 0; i < whole; ++i) worst = std::max(worst, double(std::fabs(r.out[i] - reference[i])));
  EXPECT_LT(worst, 1e-4);
}

// After a flushing seek nothing from before the seek comes out: the element's output after the
// flush holds exactly the frames that entered after it, starting at their timestamp.
TEST_F(DynamicAudioNormalizerPipelineTest, FlushingSeek_NothingFromBeforeTheSeek)
{
  const std::string wav = quiet_passage_wav();
  ASSERT_FALSE(wav.empty());
  const Recorded r = run_recorded(
      "filesrc location=" + wav + " ! wavparse ! dynamicaudionormalizer name=norm "
      "frame-length=100 filter-size=3 ! fakesink name=sink sync=false",
      3 * GST_SECOND);
  ASSERT_FALSE(r.in.empty());
  EXPECT_EQ(r.first_in_pts, 3 * GST_SECOND);
  EXPECT_EQ(r.out.size(), r.in.size());
  ASSERT_FALSE(r.out_buffers.empty());
  EXPECT_EQ(GST_BUFFER_PTS(r.out_buffers.front().get()), 3 * GST_SECOND);
}

}  // namespace
