// Reads arbitrary bytes as an ADTS header and as an AudioSpecificConfig.
#include <gst/gst.h>

#include <cstdint>
#include <cstdlib>

#include "transcoding-plugins/base-plugins/aac-transform.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  guint object_type = 0, channels = 0, sampling_index = 0;
  const guint header = parse_adts_frame(data, size, &object_type, &channels, &sampling_index);
  if (header != 0 && header != 7 && header != 9) abort();
  if (header > size) abort();
  if (header) {
    guint8 config[2];
    codec_data_from_adts(config, object_type, sampling_index, channels);
    AdtsConfig adts;
    if (!adts_config_from_codec_data(config, 2, &adts)) abort();
    // The ADTS values survive the round trip through a 2-byte config.
    if (adts.object_type != object_type || adts.sampling_index != sampling_index ||
        adts.channel_configuration != channels)
      abort();
  }
  AdtsConfig config;
  if (adts_config_from_codec_data(data, size, &config)) {
    guint8 h[7];
    if (write_adts_header(h, config, size)) {
      guint ot, ch, sfi;
      if (parse_adts_frame(h, 7, &ot, &ch, &sfi) != 7) abort();
    }
  }
  aac_codec_data_signals_sbr(data, size);
  return 0;
}
