// Reads the input as an HRTF set (first byte odd: Base64 text as given; even: MessagePack that
// is Base64-encoded first, so the fuzzer works on the structure) and designs the filters of a
// 7.1 layout from whatever set comes out: limits on taps, delays and rates must hold.
#include <gst/audio/audio.h>

#include <string>

#include "foundation/exception.h"
#include "fuzz/fuzz-input.h"
#include "hrtf/hrtf.h"
#include "transcoding-plugins/base-plugins/binaural-downmixer.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzinput::Input in{data, size};
  const uint8_t mode = in.byte();
  g_autofree gchar *encoded = g_base64_encode(in.data, in.size);
  const std::string text = mode & 1 ? std::string(reinterpret_cast<const char *>(in.data), in.size)
                                    : std::string(encoded);
  std::optional<hrtf::Set> set;
  try {
    set = hrtf::fromString(fn::String(text));
  } catch (const fn::Exception &) {
    return 0;
  }
  if (!set) return 0;
  for (const auto &[rate, entries] : *set) {
    fuzzinput::check(rate >= hrtf::kMinRate && rate <= hrtf::kMaxRate);
    for (const hrtf::Entry &e : entries)
      for (int ear = 0; ear < 2; ++ear)
        fuzzinput::check(e.delay[ear] <= hrtf::kMaxDelay && e.taps[ear].size() <= hrtf::kMaxTaps);
  }
  // 7.1: GStreamer's default positions for eight channels.
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, 48000, 8, nullptr);
  try {
    for (const auto &f : binaural::designFilters(*set, info, 2.0f, mode & 2))
      for (const auto &ear : f) fuzzinput::check(ear.size() <= binaural::kMaxFilterLength);
  } catch (const binaural::DesignError &) {
  }
  return 0;
}
