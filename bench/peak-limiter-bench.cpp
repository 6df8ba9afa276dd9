// audio::PeakLimiter throughput, stereo at 48 kHz. Goal: at least 20 M frames/s on one core.
//   ninja -C build bench/bench-peak-limiter && build/bench/bench-peak-limiter
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "transcoding-plugins/common/peak-limiter.h"

namespace {

// Noise that crosses the threshold now and then, so that the attack path and the section
// rescans both run.
std::vector<float>
test_signal(int frames)
{
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> noise(-0.6f, 0.6f);
  std::vector<float> samples(2 * frames);
  for (int i = 0; i < frames; ++i) {
    const float scale = (i / 4800) % 3 == 0 ? 1.8f : 1.0f;
    samples[2 * i] = scale * noise(rng);
    samples[2 * i + 1] = scale * noise(rng);
  }
  return samples;
}

void
BM_PeakLimiterStereo(benchmark::State &state)
{
  const int block = static_cast<int>(state.range(0));
  const int frames = 48000;
  const std::vector<float> source = test_signal(frames);
  std::vector<float> work(source.size());
  audio::PeakLimiter limiter(static_cast<float>(state.range(1)), 500.0f, 0.85f, 2, 48000);
  for (auto _ : state) {
    work = source;  // timed too: a few percent of the total
    for (int start = 0; start < frames; start += block)
      limiter.applyLimiter_E_I(work.data() + 2 * start, std::min(block, frames - start));
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * frames,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeakLimiterStereo)->Args({1024, 200})->Args({1024, 5})->Args({64, 200});

}  // namespace

BENCHMARK_MAIN();
