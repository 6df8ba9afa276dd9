// The exported C calls over MDynamicAudioNormalizer_r8. No exception may leave them: the
// caller is C.
#include "dynamic-audio-normalizer/normalizer-abi.h"

#include <new>
#include <string>

#include "dynamic-audio-normalizer/normalizer.h"

#define DAN_EXPORT extern "C" __attribute__((visibility("default")))

struct DanNormalizer {
  MDynamicAudioNormalizer_r8 engine;
  std::string adjustments;

  explicit DanNormalizer(const DanConfig &c)
      : engine(c.channels, c.sample_rate, c.frame_length_ms, c.filter_size, c.peak_value,
               c.max_amplification, c.target_rms, c.compress_factor, c.channels_coupled != 0,
               c.dc_correction != 0, c.alt_boundary != 0, c.allow_limiting != 0, nullptr) {
    for (const std::string &line : engine.adjustments()) adjustments += line + "\n";
  }
};

DAN_EXPORT uint32_t
dan_abi_version(void)
{
  return DAN_ABI_VERSION;
}

DAN_EXPORT DanNormalizer *
dan_create(const DanConfig *config)
{
  if (!config) return nullptr;
  try {
    return new DanNormalizer(*config);
  } catch (...) {
    return nullptr;
  }
}

DAN_EXPORT void
dan_destroy(DanNormalizer *normalizer)
{
  delete normalizer;
}

DAN_EXPORT int
dan_initialize(DanNormalizer *normalizer)
{
  try {
    return normalizer && normalizer->engine.initialize();
  } catch (...) {
    return 0;
  }
}

namespace {

// Runs one engine call that produces frames; a throw or a missing object produces none.
template <typename Call>
int
produce(DanNormalizer *normalizer, int64_t *output_frames, Call call)
{
  int64_t produced = 0;
  int ok = 0;
  try {
    ok = normalizer && call(normalizer->engine, produced);
  } catch (...) {
    produced = 0;
  }
  if (output_frames) *output_frames = produced;
  return ok;
}

}  // namespace

DAN_EXPORT int
dan_process_inplace(DanNormalizer *normalizer, double *const *planes, int64_t input_frames,
                    int64_t *output_frames)
{
  return produce(normalizer, output_frames, [&](MDynamicAudioNormalizer_r8 &e, int64_t &out) {
    return e.processInplace(planes, input_frames, out);
  });
}

DAN_EXPORT int
dan_flush(DanNormalizer *normalizer, double *const *planes, int64_t capacity,
          int64_t *output_frames)
{
  return produce(normalizer, output_frames, [&](MDynamicAudioNormalizer_r8 &e, int64_t &out) {
    return e.flushBuffer(planes, capacity, out);
  });
}

DAN_EXPORT int
dan_reset(DanNormalizer *normalizer)
{
  try {
    return normalizer && normalizer->engine.reset();
  } catch (...) {
    return 0;
  }
}

DAN_EXPORT int64_t
dan_internal_delay(const DanNormalizer *normalizer)
{
  return normalizer ? normalizer->engine.getInternalDelay() : 0;
}

DAN_EXPORT const char *
dan_adjustments(const DanNormalizer *normalizer)
{
  return normalizer ? normalizer->adjustments.c_str() : "";
}
