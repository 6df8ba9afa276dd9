#include "transcoding-plugins/common/peak-limiter.h"

#include <algorithm>
#include <cmath>

namespace audio {

PeakLimiter::PeakLimiter(float attack, float release, float limit, int channel_count, int rate)
{
  channel_count = std::max(channel_count, 1);
  attack_samples = std::max(1, static_cast<int>(static_cast<float>(rate) * attack / 1000.0f));
  section_length = static_cast<int>(std::sqrt(static_cast<float>(attack_samples + 1)));
  section_count = (attack_samples + 1) / section_length;
  // The sections must cover the attack_samples + 1 entries the peak buffer cycles through.
  if (section_count * section_length <= attack_samples) ++section_count;

  peak_buffer.reset(new float[section_count * section_length]());
  delay_line.reset(new float[attack_samples * channel_count]());
  section_peaks.reset(new float[section_count]());
  section_peak_position.reset(new int[section_count]());

  attack_ms = attack;
  max_attack_ms = attack;
  release_ms = release;
  threshold = limit;
  channels = max_channels = channel_count;
  sample_rate = max_sample_rate = rate;
  attack_coeff = static_cast<float>(std::pow(0.1, 1.0 / (attack_samples + 1)));
  const float release_samples = static_cast<float>(rate) * release / 1000.0f + 1.0f;
  release_coeff = static_cast<float>(std::pow(0.1, 1.0 / release_samples));
}

PeakLimiter::~PeakLimiter()
{
  destroyLimiter();
}

int
PeakLimiter::destroyLimiter()
{
  peak_buffer.reset();
  section_peaks.reset();
  delay_line.reset();
  section_peak_position.reset();
  return 0;
}

int
PeakLimiter::applyLimiter_E_I(float *samples, int frames)
{
  if (frames < 1 || !samples || !peak_buffer) return 0;
  const int ch = channels;
  float *const peaks = peak_buffer.get();
  float *const sections = section_peaks.get();
  int *const positions = section_peak_position.get();
  float *const delay = delay_line.get();

  for (int i = 0; i < frames; ++i) {
    float *frame = samples + static_cast<long>(i) * ch;

    float p = threshold;
    for (int j = 0; j < ch; ++j) p = std::max(p, std::fabs(frame[j]));
    peaks[peak_index] = p;

    if (positions[section_index] == peak_index) {
      // The sample that held this section's peak was just overwritten: rescan the section.
      current_section_peak = peaks[section_start];
      for (int k = 1; k < section_length; ++k) {
        if (peaks[section_start + k] > current_section_peak) {
          current_section_peak = peaks[section_start + k];
          positions[section_index] = section_start + k;
        }
      }
    } else if (p > current_section_peak) {
      current_section_peak = p;
      positions[section_index] = peak_index;
    }

    const float window_max = std::max(current_section_peak, window_peak);

    const int old_index = peak_index;
    const int length = section_length;
    ++peak_index;
    ++section_fill;
    if (section_fill >= length || old_index >= attack_samples) {
      section_fill = 0;
      const int completed = section_index;
      const float completed_peak = current_section_peak;
      sections[completed] = completed_peak;
      int next = completed + 1;
      if (next == section_count) next = 0;
      section_index = next;
      // The section about to be overwritten still holds its samples in the peak buffer.
      current_section_peak = sections[next];
      sections[next] = 0.0f;
      if (window_peak_section == completed || window_peak_section == next) {
        window_peak = 0.0f;
        for (int s = 0; s < section_count; ++s) {
          if (sections[s] > window_peak) {
            window_peak = sections[s];
            window_peak_section = s;
          }
        }
      } else if (completed_peak > window_peak) {
        window_peak = completed_peak;
        window_peak_section = next;
      }
      section_start += length;
    }
    if (old_index >= attack_samples) {
      peak_index = 0;
      section_start = 0;
    }

    const float target = threshold < window_max ? threshold / window_max : 1.0f;

    // Aim below the target while the gain is falling so that the smoothed gain reaches it
    // before the peak leaves the delay line.
    if (smoothed_gain > target) {
      correction = std::min(correction, (target + -0.1f * smoothed_gain) * 1.1111112f);
    } else {
      correction = target;
    }

    if (smoothed_gain > correction) {
      smoothed_gain = (smoothed_gain - correction) * attack_coeff + correction;
      if (target > smoothed_gain) smoothed_gain = target;
    } else {
      smoothed_gain = (smoothed_gain - correction) * release_coeff + correction;
    }

    float *slot = delay + static_cast<long>(delay_index) * ch;
    for (int j = 0; j < ch; ++j) {
      const float delayed = slot[j];
      slot[j] = frame[j];
      frame[j] = std::max(-threshold, std::min(threshold, delayed * smoothed_gain));
    }
    if (++delay_index == attack_samples) delay_index = 0;
  }
  return 0;
}

}  // namespace audio
