#include "transcoding-plugins/base-plugins/binaural-downmixer.h"

#include <gst/audio/audio.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

constexpr double kPi = 3.141592653589793;
constexpr size_t kBlock = 2048;
// 5.1 with rear surrounds: FL FR FC LFE RL RR.
constexpr guint64 kMask51 = 0x3f;

GstAudioInfo
layout(int rate, std::vector<GstAudioChannelPosition> positions) {
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, rate,
                            static_cast<gint>(positions.size()), positions.data());
  return info;
}

constexpr auto FL = GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT;
constexpr auto FR = GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT;
constexpr auto FC = GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER;
constexpr auto LFE = GST_AUDIO_CHANNEL_POSITION_LFE1;
constexpr auto RL = GST_AUDIO_CHANNEL_POSITION_REAR_LEFT;
constexpr auto RR = GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT;
constexpr auto SL = GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT;
constexpr auto SR = GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT;

hrtf::Entry
entry(int azimuth, size_t dl, size_t dr, std::vector<float> left, std::vector<float> right) {
  hrtf::Entry e;
  e.azimuth = azimuth;
  e.delay = {dl, dr};
  e.taps = {std::move(left), std::move(right)};
  return e;
}

// Decaying random responses, one per ear, for each azimuth.
hrtf::Set
random_set(int rate, const std::vector<int> &azimuths, size_t taps, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  hrtf::Set set;
  for (int a : azimuths) {
    hrtf::Entry e;
    e.azimuth = a;
    for (auto &t : e.taps) {
      t.resize(taps);
      for (size_t i = 0; i < taps; ++i)
        t[i] = noise(rng) * std::exp(-3.0f * i / taps) / std::sqrt(static_cast<float>(taps)) * 2;
    }
    set[rate].push_back(std::move(e));
  }
  return set;
}

// ---------------------------------------------------------------------------------------------
// Filter design

TEST(BinauralDesign, SpeakerAzimuthsFollowTheLayout) {
  const GstAudioInfo side51 = layout(48000, {FL, FR, FC, LFE, SL, SR});
  EXPECT_EQ(binaural::speakerAzimuth(SL, side51, false), 120);
  EXPECT_EQ(binaural::speakerAzimuth(SR, side51, false), 240);
  EXPECT_EQ(binaural::speakerAzimuth(SL, side51, true), 135);
  EXPECT_EQ(binaural::speakerAzimuth(FL, side51, false), 30);
  EXPECT_EQ(binaural::speakerAzimuth(FR, side51, true), 315);
  EXPECT_EQ(binaural::speakerAzimuth(LFE, side51, false), std::nullopt);

  const GstAudioInfo s71 = layout(48000, {FL, FR, FC, LFE, RL, RR, SL, SR});
  EXPECT_EQ(binaural::speakerAzimuth(SL, s71, false), 90);
  EXPECT_EQ(binaural::speakerAzimuth(SR, s71, false), 270);
  EXPECT_EQ(binaural::speakerAzimuth(RL, s71, false), 135);
  EXPECT_EQ(binaural::speakerAzimuth(RR, s71, false), 225);

  const GstAudioInfo rear51 = layout(48000, {FL, FR, FC, LFE, RL, RR});
  EXPECT_EQ(binaural::speakerAzimuth(RL, rear51, false), 120);
  EXPECT_EQ(binaural::speakerAzimuth(RL, rear51, true), 135);
  EXPECT_EQ(binaural::speakerAzimuth(GST_AUDIO_CHANNEL_POSITION_MONO, rear51, false), std::nullopt);
}

TEST(BinauralDesign, NearestEntryWithTiesToTheEarlier) {
  hrtf::Set set;
  set[48000] = {entry(0, 0, 0, {1}, {1}), entry(60, 0, 0, {2}, {2}), entry(330, 0, 0, {3}, {3})};
  const GstAudioInfo stereo = layout(48000, {FL, FR});
  auto f = binaural::designFilters(set, stereo, 1.0f, false);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0][0], std::vector<float>{1});  // 30: tie between 0 and 60
  EXPECT_EQ(f[1][1], std::vector<float>{3});  // 330
  set[48000].push_back(entry(45, 0, 0, {4}, {4}));
  set[48000].push_back(entry(315, 0, 0, {5}, {5}));
  f = binaural::designFilters(set, stereo, 1.0f, true);
  EXPECT_EQ(f[0][0], std::vector<float>{4});  // 45
  EXPECT_EQ(f[1][0], std::vector<float>{5});  // 315
}

TEST(BinauralDesign, InterauralDelayIsScaledByHeadSize) {
  const auto delays = [](int azimuth_entry, GstAudioChannelPosition p, size_t dl, size_t dr,
                         float head) {
    hrtf::Set set;
    set[48000] = {entry(azimuth_entry, dl, dr, {1}, {1})};
    const auto f = binaural::designFilters(set, layout(48000, {p}), head, false);
    return std::make_pair(f[0][0].size() - 1, f[0][1].size() - 1);
  };
  EXPECT_EQ(delays(30, FL, 10, 25, 2.0f), std::make_pair(size_t{0}, size_t{30}));
  EXPECT_EQ(delays(30, FL, 10, 25, 1.0f), std::make_pair(size_t{0}, size_t{15}));
  EXPECT_EQ(delays(30, FL, 25, 10, 0.0f), std::make_pair(size_t{0}, size_t{0}));
  EXPECT_EQ(delays(0, FC, 3, 3, 2.0f), std::make_pair(size_t{0}, size_t{0}));
  EXPECT_EQ(delays(0, FC, 5, 2, 2.0f), std::make_pair(size_t{3}, size_t{0}));
}

TEST(BinauralDesign, RatesAreMatchedOrResampled) {
  // A smooth response: resampling keeps its shape, so its sum grows with the rate ratio.
  std::vector<float> hann(441);
  for (size_t i = 0; i < hann.size(); ++i)
    hann[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * i / (hann.size() - 1)));
  hrtf::Set only44;
  only44[44100] = {entry(0, 441, 0, hann, {0.5f})};
  const auto f = binaural::designFilters(only44, layout(48000, {FC}), 1.0f, false);
  // Delay 441 at 44100 Hz is 480 at 48000 Hz (unscaled at azimuth 0).
  const std::vector<float> &left = f[0][0];
  ASSERT_GE(left.size(), 480u + 441u * 48000 / 44100 - 1);
  EXPECT_TRUE(std::all_of(left.begin(), left.begin() + 480, [](float v) { return v == 0.0f; }));
  double sum = 0, peak = 0;
  for (size_t i = 480; i < left.size(); ++i) {
    sum += left[i];
    peak = std::max(peak, double(left[i]));
  }
  double in_sum = 0;
  for (float v : hann) in_sum += v;
  EXPECT_NEAR(sum, in_sum * 48000 / 44100, in_sum * 0.01);
  EXPECT_NEAR(peak, 1.0, 0.01);

  hrtf::Set both = only44;
  both[48000] = {entry(0, 0, 0, {7}, {7})};
  EXPECT_EQ(binaural::designFilters(both, layout(44100, {FC}), 1.0f, false)[0][1],
            std::vector<float>{0.5f});
  EXPECT_EQ(binaural::designFilters(both, layout(48000, {FC}), 1.0f, false)[0][1],
            std::vector<float>{7});
}

TEST(BinauralDesign, SizesAndRefusals) {
  EXPECT_EQ(binaural::fftSize(512), 4096u);
  EXPECT_EQ(binaural::fftSize(2000), 8192u);
  EXPECT_EQ(binaural::fftSize(1), 4096u);

  const hrtf::Set set = random_set(48000, {0, 30, 330, 120, 240}, 16, 1);
  const auto f = binaural::designFilters(set, layout(48000, {FL, FR, FC, LFE, RL, RR}), 1, false);
  EXPECT_TRUE(f[3][0].empty() && f[3][1].empty());
  EXPECT_FALSE(f[4][0].empty());

  EXPECT_THROW(binaural::designFilters(set, layout(48000, {LFE}), 1, false), binaural::DesignError);
  EXPECT_THROW(
      binaural::designFilters(set, layout(48000, {GST_AUDIO_CHANNEL_POSITION_MONO}), 1, false),
      binaural::DesignError);
  hrtf::Set empty_rate;
  empty_rate[48000] = {};
  EXPECT_THROW(binaural::designFilters(empty_rate, layout(48000, {FL, FR}), 1, false),
               binaural::DesignError);
  EXPECT_THROW(binaural::designFilters(hrtf::Set(), layout(48000, {FL, FR}), 1, false),
               binaural::DesignError);
}

// ---------------------------------------------------------------------------------------------
// Streaming convolution against a direct convolution in double precision

std::string
caps(int rate, int channels, guint64 mask) {
  char hex[32];
  g_snprintf(hex, sizeof hex, "0x%" G_GINT64_MODIFIER "x", mask);
  return "audio/x-raw,format=F32LE,layout=interleaved,rate=" + std::to_string(rate) +
         ",channels=" + std::to_string(channels) + ",channel-mask=(bitmask)" + hex;
}

struct Output {
  std::vector<float> samples;  // interleaved stereo
  std::vector<Ref<GstBuffer>> buffers;
};

Harness
downmixer(int rate, int channels, guint64 mask, const hrtf::Set *set, float lfe_gain = 1.0f) {
  Harness h(gst_harness_new("binauraldownmixer"));
  if (set) g_object_set(h->element, "hrtf", hrtf::toString(*set).c_str(), nullptr);
  g_object_set(h->element, "lfe-gain-factor", lfe_gain, nullptr);
  gst_harness_set_src_caps_str(h.get(), caps(rate, channels, mask).c_str());
  return h;
}

GstBuffer *
float_buffer(const float *samples, size_t count, GstClockTime pts) {
  GstBuffer *b = gst_buffer_new_allocate(nullptr, count * sizeof(float), nullptr);
  gst_buffer_fill(b, 0, samples, count * sizeof(float));
  GST_BUFFER_PTS(b) = pts;
  return b;
}

// Pushes `input` in buffers of `chunk` frames with running timestamps, then EOS.
Output
run(GstHarness *h, const std::vector<float> &input, int channels, size_t chunk, int rate = 48000) {
  const size_t frames = input.size() / channels;
  for (size_t at = 0; at < frames; at += chunk) {
    const size_t n = std::min(chunk, frames - at);
    EXPECT_EQ(gst_harness_push(h, float_buffer(input.data() + at * channels, n * channels,
                                               gst_util_uint64_scale(at, GST_SECOND, rate))),
              GST_FLOW_OK);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  out.buffers = pull_all(h);
  for (const auto &b : out.buffers) {
    const std::vector<guint8> bytes = buffer_bytes(b.get());
    const size_t n = bytes.size() / sizeof(float);
    const size_t old = out.samples.size();
    out.samples.resize(old + n);
    std::memcpy(out.samples.data() + old, bytes.data(), bytes.size());
  }
  return out;
}

// The element's signal chain written out directly: -7 dB, a 14 kHz +5 dB high shelf
// (bilinear design), full linear convolution, LFE added unfiltered, -2 dB.
std::vector<double>
reference(const std::vector<float> &input, int channels, int rate,
          const std::vector<binaural::ChannelFilters> &filters, double lfe_gain) {
  const size_t frames = input.size() / channels;
  const double pre_gain = std::pow(10.0, -0.35);
  const double out_gain = 1.0 / std::pow(10.0, 0.1);
  const double V = std::pow(10.0, 5.0 / 20.0);
  const double K = std::tan(kPi * 14000.0 / rate);
  const double norm = 1.0 / (1.0 + std::sqrt(2.0) * K + K * K);
  const double a0 = (V + std::sqrt(2.0 * V) * K + K * K) * norm;
  const double a1 = 2.0 * (K * K - V) * norm;
  const double a2 = (V - std::sqrt(2.0 * V) * K + K * K) * norm;
  const double b1 = 2.0 * (K * K - 1.0) * norm;
  const double b2 = (1.0 - std::sqrt(2.0) * K + K * K) * norm;

  std::vector<double> out(frames * 2, 0.0);
  for (int c = 0; c < channels; ++c) {
    if (filters[c][0].empty()) {
      for (size_t t = 0; t < frames; ++t)
        for (int e = 0; e < 2; ++e) out[2 * t + e] += input[t * channels + c] * lfe_gain * out_gain;
      continue;
    }
    // Direct form I with its own history.
    std::vector<double> x(frames);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t t = 0; t < frames; ++t) {
      const double in = input[t * channels + c] * pre_gain;
      const double y = a0 * in + a1 * x1 + a2 * x2 - b1 * y1 - b2 * y2;
      x2 = x1, x1 = in, y2 = y1, y1 = y;
      x[t] = y;
    }
    for (int e = 0; e < 2; ++e) {
      const std::vector<float> &h = filters[c][e];
      for (size_t t = 0; t < frames; ++t) {
        double acc = 0;
        const size_t kmax = std::min(h.size(), t + 1);
        for (size_t k = 0; k < kmax; ++k) acc += h[k] * x[t - k];
        out[2 * t + e] += acc * out_gain;
      }
    }
  }
  return out;
}

std::vector<float>
noise(size_t count, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  std::vector<float> v(count);
  for (float &x : v) x = d(rng);
  return v;
}

class BinauralConvolution : public ::testing::TestWithParam<size_t> {};

TEST_P(BinauralConvolution, MatchesDirectConvolution) {
  const size_t taps = GetParam();
  const hrtf::Set set = random_set(48000, {0, 30, 330, 120, 240}, taps, 7);
  const GstAudioInfo info = layout(48000, {FL, FR, FC, LFE, RL, RR});
  const auto filters = binaural::designFilters(set, info, 1.0f, false);
  // Quiet enough that the limiter only delays (its gain stays 1).
  const size_t frames = 5 * kBlock + 777;
  const std::vector<float> input = noise(frames * 6, 0.05f, 3);

  Harness h = downmixer(48000, 6, kMask51, &set, 0.5f);
  const Output out = run(h.get(), input, 6, 1000);
  ASSERT_EQ(out.samples.size(), frames * 2) << "output length differs from input";
  const std::vector<double> want = reference(input, 6, 48000, filters, 0.5);
  double max_error = 0, max_level = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    max_error = std::max(max_error, std::fabs(out.samples[i] - want[i]));
    max_level = std::max(max_level, std::fabs(want[i]));
  }
  ASSERT_GT(max_level, 0.02);
  ASSERT_LT(max_level, 0.8);
  EXPECT_LT(max_error, 1e-5) << "level " << max_level;
}

// Shorter and longer than a block: long filters carry their tail over several blocks.
INSTANTIATE_TEST_SUITE_P(Taps, BinauralConvolution, ::testing::Values(512, 3000));

TEST(BinauralStreaming, BlockBoundariesAreInvisible) {
  const hrtf::Set set = random_set(48000, {30, 330}, 700, 11);
  std::vector<float> first;
  for (size_t position : {0, 1, 2047, 2048, 3001, 4095}) {
    const size_t frames = position + 6000;
    std::vector<float> input(frames * 2, 0.0f);
    input[position * 2] = 0.25f;        // left speaker
    input[position * 2 + 3] = -0.125f;  // right speaker, one frame later
    Harness h = downmixer(48000, 2, 0x3, &set);
    const Output out = run(h.get(), input, 2, 1024);
    ASSERT_EQ(out.samples.size(), frames * 2);
    // Rounding noise of the transforms only, before the impulse.
    EXPECT_TRUE(std::all_of(out.samples.begin(), out.samples.begin() + position * 2, [](float v) {
      return std::fabs(v) < 1e-6f;
    })) << position;
    std::vector<float> response(out.samples.begin() + position * 2,
                                out.samples.begin() + (position + 1600) * 2);
    if (first.empty()) {
      first = response;
      continue;
    }
    for (size_t i = 0; i < response.size(); ++i)
      ASSERT_NEAR(response[i], first[i], 1e-6) << "impulse at " << position << ", sample " << i;
  }
}

TEST(BinauralStreaming, CountsTimestampsAndTheLimiter) {
  const hrtf::Set set = random_set(48000, {30, 330}, 256, 5);
  // Three buffers of 1000 frames, full-scale noise: every frame comes out, limited.
  Harness h = downmixer(48000, 2, 0x3, &set);
  const Output out = run(h.get(), noise(3000 * 2, 1.0f, 9), 2, 1000);
  ASSERT_EQ(out.samples.size(), 3000u * 2);
  float peak = 0;
  for (float v : out.samples) peak = std::max(peak, std::fabs(v));
  EXPECT_LE(peak, 0.85f);
  EXPECT_GT(peak, 0.3f);
  GstClockTime next = 0;
  for (const auto &b : out.buffers) {
    EXPECT_EQ(GST_BUFFER_PTS(b.get()), next);
    next = GST_BUFFER_PTS(b.get()) + GST_BUFFER_DURATION(b.get());
  }
  EXPECT_NEAR(static_cast<double>(next), 3000.0 / 48000 * GST_SECOND, 1000.0);

  // Less than the limiter delay in all.
  Harness short_stream = downmixer(48000, 2, 0x3, &set);
  EXPECT_EQ(run(short_stream.get(), noise(100 * 2, 0.5f, 1), 2, 100).samples.size(), 200u);

  // Silence in, silence out.
  Harness silent = downmixer(48000, 2, 0x3, &set);
  const Output quiet = run(silent.get(), std::vector<float>(20000 * 2, 0.0f), 2, 4096);
  ASSERT_EQ(quiet.samples.size(), 20000u * 2);
  EXPECT_TRUE(
      std::all_of(quiet.samples.begin(), quiet.samples.end(), [](float v) { return v == 0.0f; }));
}

TEST(BinauralStreaming, DiscontinuityDrainsAndStartsClean) {
  const hrtf::Set set = random_set(48000, {30, 330}, 2048, 5);
  Harness h = downmixer(48000, 2, 0x3, &set);
  const std::vector<float> loud = noise(5000 * 2, 0.9f, 2);
  gst_harness_push(h.get(), float_buffer(loud.data(), loud.size(), 0));
  const std::vector<float> silence(3000 * 2, 0.0f);
  GstBuffer *after = float_buffer(silence.data(), silence.size(), 10 * GST_SECOND);
  GST_BUFFER_FLAG_SET(after, GST_BUFFER_FLAG_DISCONT);
  gst_harness_push(h.get(), after);
  gst_harness_push_event(h.get(), gst_event_new_eos());

  size_t before_frames = 0, after_frames = 0;
  for (const auto &b : pull_all(h.get())) {
    const std::vector<guint8> bytes = buffer_bytes(b.get());
    const size_t frames = bytes.size() / 8;
    if (GST_BUFFER_PTS(b.get()) < 10 * GST_SECOND) {
      before_frames += frames;
      continue;
    }
    if (after_frames == 0) {
      EXPECT_EQ(GST_BUFFER_PTS(b.get()), 10 * GST_SECOND);
    }
    after_frames += frames;
    const float *v = reinterpret_cast<const float *>(bytes.data());
    EXPECT_TRUE(std::all_of(v, v + frames * 2, [](float x) { return x == 0.0f; }))
        << "audio from before the discontinuity leaked into the new stretch";
  }
  EXPECT_EQ(before_frames, 5000u);
  EXPECT_EQ(after_frames, 3000u);
}

TEST(BinauralStreaming, FlushDiscardsWithoutOutput) {
  const hrtf::Set set = random_set(48000, {30, 330}, 512, 5);
  Harness h = downmixer(48000, 2, 0x3, &set);
  const std::vector<float> loud = noise(15000 * 2, 0.9f, 2);
  gst_harness_push(h.get(), float_buffer(loud.data(), loud.size(), 0));
  const size_t before = pull_all(h.get()).size();
  EXPECT_GE(before, 1u);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h.get(), time_segment_event(0)));
  const std::vector<float> silence(4000 * 2, 0.0f);
  gst_harness_push(h.get(), float_buffer(silence.data(), silence.size(), 0));
  gst_harness_push_event(h.get(), gst_event_new_eos());
  size_t frames = 0;
  for (const auto &b : pull_all(h.get())) {
    const std::vector<guint8> bytes = buffer_bytes(b.get());
    const float *v = reinterpret_cast<const float *>(bytes.data());
    EXPECT_TRUE(std::all_of(v, v + bytes.size() / 4, [](float x) { return x == 0.0f; }));
    frames += bytes.size() / 8;
  }
  EXPECT_EQ(frames, 4000u);
}

// ---------------------------------------------------------------------------------------------
// Negotiation

std::string
negotiation_error(const std::string &input_caps, const char *hrtf_text) {
  Harness h(gst_harness_new("binauraldownmixer"));
  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(h->element, bus.get());
  if (hrtf_text) g_object_set(h->element, "hrtf", hrtf_text, nullptr);
  gst_harness_set_src_caps_str(h.get(), input_caps.c_str());
  std::vector<float> frames(2048 * 8, 0.0f);
  const GstFlowReturn flow =
      gst_harness_push(h.get(), float_buffer(frames.data(), frames.size(), 0));
  Ref<GstMessage> m = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  gst_element_set_bus(h->element, nullptr);
  if (!m) return flow == GST_FLOW_OK ? "" : "no error message";
  GError *error = nullptr;
  gst_message_parse_error(m.get(), &error, nullptr);
  std::string text = error->message;
  g_error_free(error);
  EXPECT_NE(flow, GST_FLOW_OK);
  return text;
}

TEST(BinauralNegotiation, UnusableSetsAndLayoutsAreRefusedWithAReason) {
  // The built-in set makes the element work without an "hrtf" property.
  EXPECT_EQ(negotiation_error(caps(48000, 6, kMask51), nullptr), "");
  EXPECT_EQ(negotiation_error(caps(44100, 2, 0x3), nullptr), "");

  const std::string mono = "audio/x-raw,format=F32LE,layout=interleaved,rate=48000,channels=1";
  EXPECT_NE(negotiation_error(mono, nullptr).find("mono"), std::string::npos);
  EXPECT_NE(negotiation_error(caps(48000, 1, 0x8), nullptr).find("LFE"), std::string::npos);
  EXPECT_NE(negotiation_error(caps(48000, 2, 0x3), "not*base64").find("cannot decode"),
            std::string::npos);
  hrtf::Set empty_rate;
  empty_rate[48000] = {};
  EXPECT_NE(
      negotiation_error(caps(48000, 2, 0x3), hrtf::toString(empty_rate).c_str()).find("no entries"),
      std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Real pipelines

struct PipelineCase {
  int rate;
  int channels;
  guint64 mask;
  bool custom_set;
};

class BinauralPipeline : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(BinauralPipeline, DownmixesAudioTestSrc) {
  const PipelineCase &c = GetParam();
  std::string property;
  if (c.custom_set) {
    const hrtf::Set set = random_set(48000, {0, 30, 330, 90, 270, 120, 240, 135, 225}, 400, 3);
    property = " hrtf=\"" + std::string(hrtf::toString(set).c_str()) + "\"";
  }
  constexpr int kBuffers = 40, kSamples = 1000;
  for (const char *wave : {"white-noise", "silence"}) {
    const std::string launch = std::string("audiotestsrc wave=") + wave +
                               " volume=1.0 num-buffers=" + std::to_string(kBuffers) +
                               " samplesperbuffer=" + std::to_string(kSamples) + " ! " +
                               caps(c.rate, c.channels, c.mask) + " ! binauraldownmixer" +
                               property + " ! fakesink name=sink";
    const CollectResult r = collect_buffers(launch);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(r.caps);
    GstAudioInfo out;
    ASSERT_TRUE(gst_audio_info_from_caps(&out, r.caps.get()));
    EXPECT_EQ(GST_AUDIO_INFO_CHANNELS(&out), 2);
    EXPECT_EQ(GST_AUDIO_INFO_RATE(&out), c.rate);
    size_t frames = 0;
    float peak = 0;
    GstClockTime next = 0;
    for (const auto &b : r.buffers) {
      EXPECT_EQ(GST_BUFFER_PTS(b.get()), next);
      next = GST_BUFFER_PTS(b.get()) + GST_BUFFER_DURATION(b.get());
      const std::vector<guint8> bytes = buffer_bytes(b.get());
      const float *v = reinterpret_cast<const float *>(bytes.data());
      for (size_t i = 0; i < bytes.size() / 4; ++i) peak = std::max(peak, std::fabs(v[i]));
      frames += bytes.size() / 8;
    }
    EXPECT_EQ(frames, size_t{kBuffers} * kSamples) << wave;
    EXPECT_LE(peak, 0.85f) << wave;
    if (std::string(wave) == "silence") {
      EXPECT_EQ(peak, 0.0f);
    } else {
      EXPECT_GT(peak, 0.1f);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BinauralPipeline,
                         ::testing::Values(PipelineCase{48000, 6, 0x60f, false},
                                           PipelineCase{48000, 8, 0x63f, false},
                                           PipelineCase{44100, 2, 0x3, false},
                                           PipelineCase{48000, 6, kMask51, true},
                                           PipelineCase{44100, 8, 0x63f, true}));

}  // namespace
