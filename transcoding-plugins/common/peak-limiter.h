// Look-ahead peak limiter for interleaved float audio.
#pragma once

#include <memory>

namespace audio {

// Delays the signal by the attack time, follows the peak over a sliding window of that length
// and applies a smoothed gain so that no output sample exceeds the threshold. The window
// maximum is kept in about sqrt(attack) sections so that a sample costs at most one section
// scan. Nothing is allocated after construction.
class PeakLimiter {
 public:
  PeakLimiter(float attack_ms, float release_ms, float threshold, int channels,
              int sample_rate);
  ~PeakLimiter();
  PeakLimiter(const PeakLimiter &) = delete;
  PeakLimiter &operator=(const PeakLimiter &) = delete;

  // Limits `frames` frames of `channels` interleaved samples in place. Returns 0.
  int applyLimiter_E_I(float *samples, int frames);
  // The delay in frames that the limiter adds: callers drop that many leading output frames.
  int getLimiterDelay() const { return attack_samples; }
  // Frees the buffers; afterwards applyLimiter_E_I does nothing. Returns 0.
  int destroyLimiter();

  int attack_samples = 1;
  float attack_coeff = 0.0f;
  float release_coeff = 0.0f;
  float attack_ms = 0.0f;
  float release_ms = 0.0f;
  float max_attack_ms = 0.0f;
  float threshold = 1.0f;
  int channels = 0, max_channels = 0;
  int sample_rate = 0, max_sample_rate = 0;
  float correction = 1.0f;
  std::unique_ptr<float[]> peak_buffer;
  std::unique_ptr<float[]> section_peaks;
  std::unique_ptr<float[]> delay_line;
  int peak_index = 0;
  int section_index = 0;
  int delay_index = 0;
  int section_length = 1;
  int section_count = 1;
  int section_start = 0;
  int section_fill = 0;
  float smoothed_gain = 1.0f;
  float window_peak = 0.0f;
  float current_section_peak = 0.0f;
  int window_peak_section = 0;
  std::unique_ptr<int[]> section_peak_position;

 private:
  template <int CH>
  void run(float *samples, int frames);
};

}  // namespace audio
