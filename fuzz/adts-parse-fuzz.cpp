// Reads arbitrary bytes as an ADTS header, as an AudioSpecificConfig and as a raw_data_block
// starting with a program config element.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/aac-transform.h"

using fuzzinput::check;

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  guint object_type = 0, channels = 0, sampling_index = 0;
  const guint header = parse_adts_frame(data, size, &object_type, &channels, &sampling_index);
  check((header == 0 || header == 7 || header == 9) && header <= size);
  if (header) {
    guint8 config[2];
    codec_data_from_adts(config, object_type, sampling_index, channels);
    AdtsConfig adts;
    // The ADTS values survive the round trip through a 2-byte config.
    check(adts_config_from_codec_data(config, 2, &adts) && adts.object_type == object_type &&
          adts.sampling_index == sampling_index && adts.channel_configuration == channels);
  }
  AdtsConfig config;
  if (adts_config_from_codec_data(data, size, &config)) {
    guint8 h[7];
    guint ot, ch, sfi;
    check(!write_adts_header(h, config, size) || parse_adts_frame(h, 7, &ot, &ch, &sfi) == 7);
  }
  aac_codec_data_signals_sbr(data, size);

  // The two forms of a PCE convert into each other and back without loss.
  guint pce_channels = 0, again = 0;
  const std::vector<guint8> pce = adts_pce_from_codec_data(data, size, &pce_channels);
  check(pce.empty() || (raw_block_pce_size(pce.data(), pce.size(), &again) == pce.size() &&
                        again == pce_channels));
  const gsize block_pce = raw_block_pce_size(data, size, &pce_channels);
  const std::vector<guint8> asc = codec_data_from_adts_pce(2, 3, data, size, &again);
  check(asc.empty() == (block_pce == 0) && (!block_pce || again == pce_channels));
  if (block_pce) {
    const std::vector<guint8> adts = adts_pce_from_codec_data(asc.data(), asc.size(), &again);
    check(adts.size() == block_pce &&
          codec_data_from_adts_pce(2, 3, adts.data(), adts.size(), &again) == asc);
  }
  return 0;
}
