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

// The state lives in locals while a run of frames is processed: the samples are floats and
// could alias the float members, which would otherwise be reloaded after every store. CH > 0
// fixes the channel count at compile time (stereo is the common case); 0 reads it at run time.
template <int CH>
void
PeakLimiter::run(float *samples, int frames)
{
  const int ch = CH > 0 ? CH : channels;
  float *const peaks = peak_buffer.get();
  float *const sections = section_peaks.get();
  int *const positions = section_peak_position.get();
  float *const delay = delay_line.get();
  const float limit = threshold;
  const float attack_k = attack_coeff, release_k = release_coeff;
  const int attack = attack_samples, length = section_length, count = section_count;
  int peak_at = peak_index, section_at = section_index, delay_at = delay_index;
  int start = section_start, fill = section_fill, window_section = window_peak_section;
  float gain = smoothed_gain, corr = correction, window = window_peak;
  float section_peak = current_section_peak;

  for (int i = 0; i < frames; ++i) {
    float *frame = samples + static_cast<long>(i) * ch;

    float p = limit;
    for (int j = 0; j < ch; ++j) p = std::max(p, std::fabs(frame[j]));
    peaks[peak_at] = p;

    if (positions[section_at] == peak_at) {
      // The sample that held this section's peak was just overwritten: rescan the section.
      section_peak = peaks[start];
      for (int k = 1; k < length; ++k) {
        if (peaks[start + k] > section_peak) {
          section_peak = peaks[start + k];
          positions[section_at] = start + k;
        }
      }
    } else if (p > section_peak) {
      section_peak = p;
      positions[section_at] = peak_at;
    }

    const float window_max = std::max(section_peak, window);

    const int old_index = peak_at;
    ++peak_at;
    ++fill;
    if (fill >= length || old_index >= attack) {
      fill = 0;
      const int completed = section_at;
      const float completed_peak = section_peak;
      sections[completed] = completed_peak;
      int next = completed + 1;
      if (next == count) next = 0;
      section_at = next;
      // The section about to be overwritten still holds its samples in the peak buffer.
      section_peak = sections[next];
      sections[next] = 0.0f;
      if (window_section == completed || window_section == next) {
        window = 0.0f;
        for (int s = 0; s < count; ++s) {
          if (sections[s] > window) {
            window = sections[s];
            window_section = s;
          }
        }
      } else if (completed_peak > window) {
        window = completed_peak;
        window_section = next;
      }
      start += length;
    }
    if (old_index >= attack) {
      peak_at = 0;
      start = 0;
    }

    const float target = limit < window_max ? limit / window_max : 1.0f;

    // Aim below the target while the gain is falling so that the smoothed gain reaches it
    // before the peak leaves the delay line.
    if (gain > target) {
      corr = std::min(corr, (target + -0.1f * gain) * 1.1111112f);
    } else {
      corr = target;
    }

    if (gain > corr) {
      gain = (gain - corr) * attack_k + corr;
      if (target > gain) gain = target;
    } else {
      gain = (gain - corr) * release_k + corr;
    }

    float *slot = delay + static_cast<long>(delay_at) * ch;
    for (int j = 0; j < ch; ++j) {
      const float delayed = slot[j];
      slot[j] = frame[j];
      frame[j] = std::max(-limit, std::min(limit, delayed * gain));
    }
    if (++delay_at == attack) delay_at = 0;
  }

  peak_index = peak_at;
  section_index = section_at;
  delay_index = delay_at;
  section_start = start;
  section_fill = fill;
  window_peak_section = window_section;
  smoothed_gain = gain;
  correction = corr;
  window_peak = window;
  current_section_peak = section_peak;
}

int
PeakLimiter::applyLimiter_E_I(float *samples, int frames)
{
  if (frames < 1 || !samples || !peak_buffer) return 0;
  if (channels == 2)
    run<2>(samples, frames);
  else
    run<0>(samples, frames);
  return 0;
}

}  // namespace audio
