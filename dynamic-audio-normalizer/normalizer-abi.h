/* The C interface of libdynamic-audio-normalizer. The plugin opens the library at run time
 * (only the process that uses dynamicaudionormalizer pays for libavfilter), so everything
 * crossing this line is plain C: no exceptions, no C++ types, no inline code.
 *
 * Calls mirror MDynamicAudioNormalizer_r8 (normalizer.h); results are 1 for true, 0 for false.
 * A handle is used from one thread at a time. */
#ifndef DYNAMIC_AUDIO_NORMALIZER_ABI_H
#define DYNAMIC_AUDIO_NORMALIZER_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raised whenever a call or DanConfig changes incompatibly; the loader refuses any other. */
#define DAN_ABI_VERSION 1u

typedef struct DanNormalizer DanNormalizer;

typedef struct DanConfig {
  uint32_t channels;
  uint32_t sample_rate;
  uint32_t frame_length_ms;
  uint32_t filter_size;
  double peak_value;
  double max_amplification;
  double target_rms;
  double compress_factor;
  int32_t channels_coupled;
  int32_t dc_correction;
  int32_t alt_boundary;
  int32_t allow_limiting;
} DanConfig;

uint32_t dan_abi_version(void);
/* Null only when out of memory. Out-of-range values are clamped; see dan_adjustments. */
DanNormalizer *dan_create(const DanConfig *config);
void dan_destroy(DanNormalizer *normalizer);
int dan_initialize(DanNormalizer *normalizer);
int dan_process_inplace(DanNormalizer *normalizer, double *const *planes, int64_t input_frames,
                        int64_t *output_frames);
int dan_flush(DanNormalizer *normalizer, double *const *planes, int64_t capacity,
              int64_t *output_frames);
int dan_reset(DanNormalizer *normalizer);
int64_t dan_internal_delay(const DanNormalizer *normalizer);
/* What was clamped at creation, one description a line ("" when nothing); lives as long as
 * the handle. */
const char *dan_adjustments(const DanNormalizer *normalizer);

#ifdef __cplusplus
}
#endif

#endif
