// The normaliser library through its C interface, opened the way the plugin opens it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "dynamic-audio-normalizer/loader.h"

namespace {

constexpr uint32_t kRate = 48000;

std::unique_ptr<normalizer::Normalizer>
make(uint32_t channels, double max_gain, uint32_t rate = kRate, uint32_t frame_ms = 100,
     uint32_t filter_size = 5)
{
  const normalizer::LoadResult loaded = normalizer::load();
  if (!loaded.library) ADD_FAILURE() << loaded.path << ": " << loaded.error;
  const DanConfig c{channels, rate, frame_ms, filter_size, 0.95, max_gain, 0.0, 0.0, 1, 0, 0, 1};
  return loaded.library ? std::make_unique<normalizer::Normalizer>(*loaded.library, c) : nullptr;
}

// Frames out, and the input frames consumed when output first appeared.
struct StreamResult {
  int64_t frames_out = 0, first_output_at = -1;
};

// Feeds `frames` of a tone in chunks of `chunk` frames, then drains with a capacity of `chunk`;
// no call may give back more than it was given.
StreamResult
run(normalizer::Normalizer &n, size_t channels, int64_t frames, int64_t chunk)
{
  StreamResult r;
  std::vector<std::vector<double>> work(channels, std::vector<double>(chunk));
  std::vector<double *> ptrs;
  for (auto &w : work) ptrs.push_back(w.data());
  int64_t got = 0;
  for (int64_t pos = 0; pos < frames; pos += chunk) {
    const int64_t n_in = std::min(chunk, frames - pos);
    for (size_t c = 0; c < channels; ++c)
      for (int64_t i = 0; i < n_in; ++i) work[c][i] = 0.1 * std::sin(0.0577 * (pos + i) + c);
    EXPECT_TRUE(n.processInplace(ptrs.data(), n_in, got) && got <= n_in) << got;
    if (got > 0 && r.first_output_at < 0) r.first_output_at = pos + n_in;
    r.frames_out += got;
  }
  while (n.flushBuffer(ptrs.data(), chunk, got)) {
    EXPECT_TRUE(got > 0 && got <= chunk) << got;
    r.frames_out += got;
  }
  EXPECT_EQ(got, 0);
  return r;
}

// Awkward lengths, including one shorter than a frame (the engine's own end of stream reads
// past such a frame) and ones shorter than the delay of (filter size + 1) frames.
TEST(NormalizerTest, Stream_FramesOutEqualFramesInAfterTheDelay)
{
  for (int64_t frames : {int64_t{4800 * 10 + 333}, int64_t{1000}, int64_t{4800}, int64_t{1}}) {
    SCOPED_TRACE(frames);
    auto n = make(2, 100.0);
    ASSERT_TRUE(n && n->initialize());
    EXPECT_EQ(n->getInternalDelay(), 6 * 4800);
    const StreamResult r = run(*n, 2, frames, 960);
    EXPECT_EQ(r.frames_out, frames);
    EXPECT_TRUE(frames < 7 * 4800 || (r.first_output_at > 5 * 4800 &&
                                      r.first_output_at <= 6 * 4800 + 960)) << r.first_output_at;
  }
}

TEST(NormalizerTest, OutOfRangeValues_ClampedAndReportedOrRefused)
{
  // Frame length 0 becomes 10 ms, filter size 30 becomes 31, a gain of 1000 becomes 100, each
  // with a line.
  auto n = make(2, 1000.0, kRate, 0, 30);
  const std::string adjustments = n->adjustments();
  EXPECT_EQ(std::count(adjustments.begin(), adjustments.end(), '\n'), 3) << adjustments;
  EXPECT_TRUE(n->initialize());
  EXPECT_EQ(n->getInternalDelay(), 32 * 480);
  // A frame length that rounds to no samples at 1 Hz still makes a working normaliser.
  auto slow = make(1, 10.0, 1, 500, 3);
  ASSERT_TRUE(slow->initialize());
  EXPECT_EQ(run(*slow, 1, 25, 4).frames_out, 25);
  // Gigabytes of held audio are refused; the refused object produces nothing.
  auto huge = make(8, 10.0, 192000, 8000, 301);
  EXPECT_FALSE(huge->initialize());
  std::vector<double> plane(16, 0.5);
  std::vector<double *> ptrs(8, plane.data());
  int64_t got = -1;
  EXPECT_FALSE(huge->processInplace(ptrs.data(), 16, got) || got != 0);
  EXPECT_FALSE(huge->flushBuffer(ptrs.data(), 16, got));
}

}  // namespace
