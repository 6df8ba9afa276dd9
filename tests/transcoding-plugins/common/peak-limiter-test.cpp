#include "transcoding-plugins/common/peak-limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using audio::PeakLimiter;

constexpr float kThreshold = 0.85f;

// Runs `input` (stereo interleaved) through the limiter in blocks of `block` frames.
std::vector<float>
limit(PeakLimiter &limiter, std::vector<float> input, int block = 480)
{
  const int frames = static_cast<int>(input.size() / 2);
  for (int start = 0; start < frames; start += block)
    limiter.applyLimiter_E_I(input.data() + 2 * start, std::min(block, frames - start));
  return input;
}

float
max_abs(const std::vector<float> &v)
{
  float m = 0.0f;
  for (float x : v) m = std::max(m, std::fabs(x));
  return m;
}

TEST(PeakLimiterTest, Construction_SizesWindowAndDelay)
{
  PeakLimiter limiter(200.0f, 1000.0f, kThreshold, 2, 48000);
  EXPECT_EQ(limiter.attack_samples, 9600);
  EXPECT_EQ(limiter.section_length, 97);
  EXPECT_EQ(limiter.section_count, 99);
  EXPECT_EQ(limiter.getLimiterDelay(), 9600);
  EXPECT_GE(limiter.section_count * limiter.section_length, limiter.attack_samples + 1);

  PeakLimiter tiny(0.01f, 10.0f, kThreshold, 1, 48000);
  EXPECT_EQ(tiny.getLimiterDelay(), 1);
}

TEST(PeakLimiterTest, BelowThreshold_DelayedAndOtherwiseIdentical)
{
  PeakLimiter limiter(5.0f, 50.0f, kThreshold, 2, 48000);
  const int delay = limiter.getLimiterDelay();
  ASSERT_EQ(delay, 240);
  std::vector<float> input(2 * 4800);
  for (size_t i = 0; i < input.size(); ++i)
    input[i] = 0.8f * std::sin(0.01f * static_cast<float>(i)) * (i % 2 ? -1.0f : 1.0f);
  // Odd block sizes so that blocks and delay line wrap at different places.
  const std::vector<float> output = limit(limiter, input, 333);
  for (int i = 0; i < 2 * delay; ++i) ASSERT_EQ(output[i], 0.0f) << i;
  for (size_t i = 2 * delay; i < output.size(); ++i) ASSERT_EQ(output[i], input[i - 2 * delay]);
}

// Full-scale noise, bursts and a single spike never leave the threshold.
TEST(PeakLimiterTest, LoudInput_NeverExceedsThreshold)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> full(-1.0f, 1.0f);
  std::vector<float> noise(2 * 48000);
  for (float &x : noise) x = full(rng);

  std::vector<float> bursts(2 * 48000, 0.0f);
  for (size_t i = 0; i < bursts.size(); ++i)
    if ((i / 2) % 4800 < 480) bursts[i] = 4.0f * full(rng);

  for (const auto *input : {&noise, &bursts}) {
    PeakLimiter limiter(20.0f, 200.0f, kThreshold, 2, 48000);
    const std::vector<float> output = limit(limiter, *input, 256);
    EXPECT_LE(max_abs(output), kThreshold);
    EXPECT_GT(max_abs(output), 0.5f);  // limited, not silenced
  }
}

TEST(PeakLimiterTest, SingleSpike_GainAlreadyLoweredWhenItArrives)
{
  PeakLimiter limiter(10.0f, 100.0f, kThreshold, 2, 48000);
  const int delay = limiter.getLimiterDelay();
  std::vector<float> input(2 * 4800, 0.1f);
  const int spike = 1000;
  input[2 * spike] = 1.0f;
  input[2 * spike + 1] = -1.0f;
  const std::vector<float> output = limit(limiter, input, 128);
  const float out_left = output[2 * (spike + delay)];
  const float out_right = output[2 * (spike + delay) + 1];
  EXPECT_LE(out_left, kThreshold);
  EXPECT_GE(out_right, -kThreshold);
  // The gain reached threshold / peak just in time: the spike lands at the threshold.
  EXPECT_GT(out_left, kThreshold - 0.01f);
  EXPECT_FLOAT_EQ(out_left, -out_right);
  // The quiet signal right before the spike is already turned down.
  EXPECT_LT(output[2 * (spike + delay - 1)], 0.1f);
  EXPECT_EQ(output[2 * (spike - 100)], 0.1f);
}

TEST(PeakLimiterTest, ZeroFramesAndDestroyed_ChangeNothing)
{
  PeakLimiter limiter(1.0f, 10.0f, kThreshold, 2, 48000);
  std::vector<float> samples{0.5f, 0.5f};
  EXPECT_EQ(limiter.applyLimiter_E_I(samples.data(), 0), 0);
  EXPECT_EQ(limiter.delay_index, 0);
  EXPECT_EQ(limiter.destroyLimiter(), 0);
  EXPECT_EQ(limiter.delay_line, nullptr);
  EXPECT_EQ(limiter.applyLimiter_E_I(samples.data(), 1), 0);
  EXPECT_EQ(samples[0], 0.5f);
}

}  // namespace
