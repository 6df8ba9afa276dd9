#pragma once

#include <gst/gst.h>

#include <vector>

G_BEGIN_DECLS

#define AAC_TYPE_TRANSFORM (aac_transform_get_type())
G_DECLARE_FINAL_TYPE(AACTransform, aac_transform, AAC, TRANSFORM, GstElement)

gboolean aac_transform_register(GstPlugin *plugin);

G_END_DECLS

// Plain bitstream helpers behind the element, usable without a pipeline.

// Reads the ADTS header at `data` (ISO/IEC 13818-7 6.2). Returns its length, 7 or 9 (with
// CRC), or 0 when it is not usable; the out-values are written only on success.
guint parse_adts_frame(const guint8 *data, gsize size, guint *object_type,
                       guint *channel_configuration, guint *sampling_index);

// The three values an ADTS header carries.
struct AdtsConfig {
  guint object_type;  // the core AAC object type (profile + 1)
  guint sampling_index;
  guint channel_configuration;
};

// ADTS values for an AudioSpecificConfig of at least two bytes; for SBR/PS configs the
// object type is the core one they carry. FALSE when the config is too short.
gboolean adts_config_from_codec_data(const guint8 *data, gsize size, AdtsConfig *config);

// Writes the 7-byte ADTS header (no CRC) for a payload of `payload_size` bytes. FALSE when
// the frame does not fit the 13-bit aac_frame_length.
gboolean write_adts_header(guint8 header[7], const AdtsConfig &config, gsize payload_size);

// The 2-byte AudioSpecificConfig of an ADTS stream.
void codec_data_from_adts(guint8 out[2], guint object_type, guint sampling_index,
                          guint channel_configuration);

// With channelConfiguration 0 the channel layout is a program config element: inside the
// GASpecificConfig of the AudioSpecificConfig for raw and LOAS framing, at the start of the
// raw_data_block (ID_PCE first) for ADTS. Each form aligns its comment field from its own
// start (ISO/IEC 14496-3 4.4.1.1, 4.5.2.1).

// The PCE of an AudioSpecificConfig with channelConfiguration 0 the way a raw_data_block
// starts with it, in whole bytes, and its channel count; empty when there is none.
std::vector<guint8> adts_pce_from_codec_data(const guint8 *data, gsize size, guint *channels);

// Size in bytes of the PCE (with its ID_PCE) a raw_data_block starts with, and its channel
// count; 0 when the block starts with another element or the PCE is cut short.
gsize raw_block_pce_size(const guint8 *block, gsize size, guint *channels);

// The AudioSpecificConfig of an ADTS stream with channel configuration 0: channelConfiguration
// 0 and a GASpecificConfig holding the PCE that the raw_data_block `block` starts with, and
// its channel count; empty when the block starts with no complete PCE.
std::vector<guint8> codec_data_from_adts_pce(guint object_type, guint sampling_index,
                                             const guint8 *block, gsize size, guint *channels);

// Whether an AudioSpecificConfig signals SBR: object type 5 or 29, or the backward-compatible
// sync extension 0x2B7 with SBR present (ISO/IEC 14496-3 1.6.5).
gboolean aac_codec_data_signals_sbr(const guint8 *data, gsize size);
