#include "transcoding-plugins/common/peak-limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr float kThreshold = 0.85f;
constexpr size_t kSpike = 1000;  // frame

enum Signal { Quiet, Noise, Bursts, Spike };
struct Case {
  const char *name;
  Signal signal;
  float attack_ms;
  int channels, block;  // frames per call; odd sizes wrap blocks and delay line apart
  int delay;            // frames: the attack time at 48 kHz, at least one
};
const Case kCases[] = {
    {"quiet stereo passes delayed", Quiet, 5.0f, 2, 333, 240},
    {"quiet 6 channels", Quiet, 5.0f, 6, 100, 240},
    {"quiet, shortest attack", Quiet, 0.01f, 1, 7, 1},
    {"full-scale noise", Noise, 20.0f, 2, 256, 960},
    {"loud bursts, 5 channels", Bursts, 20.0f, 5, 480, 960},
    {"single spike", Spike, 10.0f, 2, 128, 480},
};

TEST(PeakLimiterTest, LimitsToTheThresholdAfterTheAttackDelay)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const int ch = c.channels, frames = 9600;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> full(-1.0f, 1.0f);
    std::vector<float> input(ch * frames, 0.1f);
    for (size_t i = 0; i < input.size(); ++i) {
      if (c.signal == Quiet) input[i] = 0.8f * std::sin(0.01f * i) * (i % 2 ? -1.0f : 1.0f);
      if (c.signal == Noise) input[i] = full(rng);
      if (c.signal == Bursts) input[i] = (i / ch) % 4800 < 480 ? 4.0f * full(rng) : 0.0f;
      if (c.signal == Spike && i / ch == kSpike && i % ch < 2) input[i] = i % ch ? -1.0f : 1.0f;
    }

    audio::PeakLimiter limiter(c.attack_ms, 10 * c.attack_ms, kThreshold, ch, 48000);
    ASSERT_EQ(limiter.getLimiterDelay(), c.delay);
    std::vector<float> out = input;
    for (int at = 0; at < frames; at += c.block)
      limiter.applyLimiter_E_I(out.data() + ch * at, std::min(c.block, frames - at));
    const int d = ch * c.delay;
    for (int i = 0; i < d; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    float peak = 0.0f;
    for (float x : out) peak = std::max(peak, std::fabs(x));
    if (c.signal == Quiet) {
      for (size_t i = d; i < out.size(); ++i) ASSERT_EQ(out[i], input[i - d]) << i;
    } else if (c.signal == Spike) {
      // The gain reached threshold / peak just in time: the spike lands at the threshold and
      // the quiet signal right before it is already turned down.
      const float left = out[ch * kSpike + d], right = out[ch * kSpike + d + 1];
      EXPECT_NEAR(left, kThreshold - 0.005f, 0.005f);
      EXPECT_FLOAT_EQ(left, -right);
      EXPECT_LT(out[ch * kSpike + d - ch], 0.1f);
      EXPECT_EQ(out[ch * (kSpike - 100)], 0.1f);
    } else {
      EXPECT_LE(peak, kThreshold);
      EXPECT_GT(peak, 0.5f) << "limited, not silenced";
    }
  }
}

}  // namespace
