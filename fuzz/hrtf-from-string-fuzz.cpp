// Reads the input as an HRTF set (first byte odd: Base64 text as given; even: MessagePack that
// is Base64-encoded first, so the fuzzer works on the structure) and designs the filters of a
// 7.1 layout from whatever set comes out: limits on taps, delays and rates must hold.
#include <glib.h>
#include <gst/audio/audio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/exception.h"
#include "hrtf/hrtf.h"
#include "transcoding-plugins/base-plugins/binaural-downmixer.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string text;
  if (data[0] & 1) {
    text.assign(reinterpret_cast<const char *>(data + 1), size - 1);
  } else {
    gchar *encoded = g_base64_encode(data + 1, size - 1);
    text = encoded;
    g_free(encoded);
  }
  std::optional<hrtf::Set> set;
  try {
    set = hrtf::fromString(fn::String(text));
  } catch (const fn::Exception &) {
    return 0;
  }
  if (!set) return 0;
  for (const auto &[rate, entries] : *set) {
    if (rate < hrtf::kMinRate || rate > hrtf::kMaxRate) abort();
    for (const hrtf::Entry &e : entries)
      for (int ear = 0; ear < 2; ++ear)
        if (e.delay[ear] > hrtf::kMaxDelay || e.taps[ear].size() > hrtf::kMaxTaps) abort();
  }
  static const GstAudioChannelPosition kLayout[] = {
      GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT,   GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
      GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, GST_AUDIO_CHANNEL_POSITION_LFE1,
      GST_AUDIO_CHANNEL_POSITION_REAR_LEFT,    GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT,
      GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT,    GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT};
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, 48000, 8, kLayout);
  try {
    const auto filters = binaural::designFilters(*set, info, 2.0f, data[0] & 2);
    for (const auto &f : filters)
      for (const auto &ear : f)
        if (ear.size() > binaural::kMaxFilterLength) abort();
  } catch (const binaural::DesignError &) {
  }
  return 0;
}
