#include "dynamic-audio-normalizer/normalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kRate = 48000;
constexpr double kPi = 3.141592653589793;

struct Options {
  uint32_t channels = 2;
  uint32_t frame_ms = 100;
  uint32_t filter_size = 5;
  double peak = 0.95;
  double max_gain = 100.0;
  double compress = 0.0;
  bool limit = true;
};

std::unique_ptr<MDynamicAudioNormalizer_r8>
make(const Options &o)
{
  return std::make_unique<MDynamicAudioNormalizer_r8>(o.channels, kRate, o.frame_ms,
                                                      o.filter_size, o.peak, o.max_gain, 0.0,
                                                      o.compress, true, false, false, o.limit);
}

// Planar audio: one vector per channel.
using Planes = std::vector<std::vector<double>>;

Planes
tone(uint32_t channels, int64_t frames, double amplitude, double hz = 441.0)
{
  Planes p(channels, std::vector<double>(frames));
  for (uint32_t c = 0; c < channels; ++c)
    for (int64_t i = 0; i < frames; ++i)
      p[c][i] = amplitude * std::sin(2 * kPi * hz * i / kRate + c);
  return p;
}

struct StreamResult {
  Planes out;
  int64_t first_output_at = -1;  // input frames consumed when output first appeared
  bool over_produced = false;    // a call gave back more than it was given
};

// Feeds `in` in chunks of `chunk` frames, then drains with a capacity of `chunk`.
StreamResult
run(MDynamicAudioNormalizer_r8 &n, const Planes &in, int64_t chunk)
{
  const uint32_t channels = static_cast<uint32_t>(in.size());
  const int64_t total = static_cast<int64_t>(in[0].size());
  StreamResult r;
  r.out.assign(channels, {});
  Planes work(channels, std::vector<double>(chunk));
  std::vector<double *> ptrs(channels);
  for (uint32_t c = 0; c < channels; ++c) ptrs[c] = work[c].data();
  auto take = [&](int64_t got) {
    for (uint32_t c = 0; c < channels; ++c)
      r.out[c].insert(r.out[c].end(), work[c].begin(), work[c].begin() + got);
  };
  for (int64_t pos = 0; pos < total; pos += chunk) {
    const int64_t n_in = std::min(chunk, total - pos);
    for (uint32_t c = 0; c < channels; ++c)
      std::copy_n(in[c].begin() + pos, n_in, work[c].begin());
    int64_t got = -1;
    EXPECT_TRUE(n.processInplace(ptrs.data(), n_in, got));
    if (got > n_in) r.over_produced = true;
    if (got > 0 && r.first_output_at < 0) r.first_output_at = pos + n_in;
    take(got);
  }
  int64_t got = 0;
  while (n.flushBuffer(ptrs.data(), chunk, got)) {
    EXPECT_GT(got, 0);
    EXPECT_LE(got, chunk);
    take(got);
  }
  EXPECT_EQ(got, 0);
  return r;
}

double
peak_of(const Planes &p, int64_t from, int64_t to)
{
  double m = 0.0;
  for (const auto &plane : p)
    for (int64_t i = from; i < to; ++i) m = std::max(m, std::fabs(plane[i]));
  return m;
}

// Whole streams of awkward lengths, including one shorter than a frame (the engine's own end of
// stream handling reads past such a frame) and one shorter than the delay.
TEST(NormalizerTest, Stream_FramesOutEqualFramesIn)
{
  for (int64_t frames : {int64_t{4800 * 7 + 333}, int64_t{1000}, int64_t{4800}, int64_t{1}}) {
    auto n = make({});
    ASSERT_TRUE(n->initialize());
    const StreamResult r = run(*n, tone(2, frames, 0.1), 960);
    EXPECT_FALSE(r.over_produced);
    EXPECT_EQ(static_cast<int64_t>(r.out[0].size()), frames) << frames;
    EXPECT_EQ(r.out[1].size(), r.out[0].size());
  }
}

TEST(NormalizerTest, Delay_FirstOutputAfterInternalDelay)
{
  auto n = make({});
  ASSERT_TRUE(n->initialize());
  const int64_t delay = n->getInternalDelay();
  EXPECT_EQ(delay, 6 * 4800);
  const StreamResult r = run(*n, tone(2, 10 * 4800, 0.1), 480);
  EXPECT_GT(r.first_output_at, delay - 4800);
  EXPECT_LE(r.first_output_at, delay + 480);
}

// A steady -30 dBFS tone is raised to the peak value, sample-aligned with the input.
TEST(NormalizerTest, QuietTone_RaisedToPeakInPlace)
{
  auto n = make({});
  ASSERT_TRUE(n->initialize());
  const double amplitude = std::pow(10.0, -30.0 / 20.0);
  const Planes in = tone(2, 20 * 4800, amplitude);
  const StreamResult r = run(*n, in, 960);
  ASSERT_EQ(r.out[0].size(), in[0].size());
  const int64_t mid = 10 * 4800;
  // The engine bounds the gain softly below max-amplification, so the peak lands a little
  // under the target.
  const double out_peak = peak_of(r.out, mid, mid + 4800);
  EXPECT_NEAR(out_peak, 0.95, 0.03);
  EXPECT_LE(out_peak, 0.95);
  // Same waveform, scaled: no sample shift.
  const double gain = out_peak / peak_of(in, mid, mid + 4800);
  for (int64_t i = mid; i < mid + 4800; ++i) ASSERT_NEAR(r.out[0][i], gain * in[0][i], 1e-3);
}

TEST(NormalizerTest, MaxGain_CapsTheAmplification)
{
  Options o;
  o.channels = 1;
  o.max_gain = 10.0;
  auto n = make(o);
  ASSERT_TRUE(n->initialize());
  const StreamResult r = run(*n, tone(1, 20 * 4800, 0.001), 960);
  EXPECT_NEAR(peak_of(r.out, 10 * 4800, 11 * 4800), 0.01, 0.001);
}

TEST(NormalizerTest, Reset_DiscardsHeldAudioAndStartsOver)
{
  auto n = make({});
  ASSERT_TRUE(n->initialize());
  Planes loud = tone(2, 960, 0.9);
  std::vector<double *> ptrs{loud[0].data(), loud[1].data()};
  int64_t got = -1;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(n->processInplace(ptrs.data(), 960, got));
  ASSERT_TRUE(n->reset());
  // Nothing of the loud part comes out of the next stream.
  const StreamResult r = run(*n, tone(2, 3000, 0.001), 960);
  ASSERT_EQ(r.out[0].size(), 3000u);
  EXPECT_LT(peak_of(r.out, 0, 3000), 0.2);
  // A flushed normaliser takes a new stream without an explicit reset.
  const StreamResult again = run(*n, tone(2, 5000, 0.1), 960);
  EXPECT_EQ(again.out[0].size(), 5000u);
}

TEST(NormalizerTest, OutOfRangeValues_ClampedAndReported)
{
  MDynamicAudioNormalizer_r8 n(2, kRate, 0, 30, 0.95, 10.0, 0.0, 50.0, true, false, false, true);
  EXPECT_EQ(n.adjustments().size(), 3u);  // frame length, even filter size, compression
  EXPECT_TRUE(n.initialize());
  EXPECT_EQ(n.getInternalDelay(), 32 * MDynamicAudioNormalizer_r8::frameLengthSamples(kRate, 10));

  // A frame length that rounds to no samples at 1 Hz.
  MDynamicAudioNormalizer_r8 slow(1, 1, 500, 3, 0.95, 10.0, 0.0, 0.0, true, false, false, true);
  EXPECT_GE(MDynamicAudioNormalizer_r8::frameLengthSamples(1, 500), 2);
  EXPECT_TRUE(slow.initialize());
  const StreamResult r = run(slow, tone(1, 25, 0.1), 4);
  EXPECT_EQ(r.out[0].size(), 25u);
}

TEST(NormalizerTest, HugeConfiguration_RefusedWithoutOutput)
{
  MDynamicAudioNormalizer_r8 n(8, 192000, 8000, 301, 0.95, 10.0, 0.0, 0.0, true, false, false,
                               true);
  EXPECT_FALSE(n.initialize());
  std::vector<double> plane(16, 0.5);
  std::vector<double *> ptrs(8, plane.data());
  int64_t got = -1;
  EXPECT_FALSE(n.processInplace(ptrs.data(), 16, got));
  EXPECT_EQ(got, 0);
  EXPECT_FALSE(n.flushBuffer(ptrs.data(), 16, got));
}

}  // namespace
