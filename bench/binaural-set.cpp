// Writes an HRTF set of decaying random responses as the "hrtf" text (DIR/set.txt) and the same
// responses as stereo float32 files for FFmpeg's headphone filter (DIR/ir-AZIMUTH.f32).
//   binaural-set DIR TAPS RATE AZIMUTH...
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "hrtf/hrtf.h"

int
main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s DIR TAPS RATE AZIMUTH...\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const size_t taps = std::strtoul(argv[2], nullptr, 10);
  const int rate = std::atoi(argv[3]);
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  hrtf::Set set;
  for (int i = 4; i < argc; ++i) {
    hrtf::Entry e;
    e.azimuth = std::atoi(argv[i]);
    for (auto &t : e.taps) {
      t.resize(taps);
      for (size_t k = 0; k < taps; ++k) t[k] = noise(rng) * std::exp(-4.0f * k / taps) * 0.1f;
    }
    const std::string path = dir + "/ir-" + argv[i] + ".f32";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return 1;
    for (size_t k = 0; k < taps; ++k) {
      std::fwrite(&e.taps[0][k], 4, 1, f);
      std::fwrite(&e.taps[1][k], 4, 1, f);
    }
    std::fclose(f);
    set[rate].push_back(std::move(e));
  }
  FILE *f = std::fopen((dir + "/set.txt").c_str(), "wb");
  if (!f) return 1;
  const fn::String text = hrtf::toString(set);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return 0;
}
