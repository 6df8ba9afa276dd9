// LOAS/LATM parsing: AudioSyncStream, AudioMuxElement with StreamMuxConfig, one program, one
// layer, one payload per frame (ISO/IEC 14496-3 1.7.2, 1.7.3).
#include "transcoding-plugins/base-plugins/loas-parser.h"

#include <cstring>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GstDebugCategory *
aac_transform_debug_category()
{
  static GstDebugCategory *category = nullptr;
  element_ensure_debug_category(&category, "aactransform", "Transforms RAW AAC to ADTS");
  return category;
}

#define GST_CAT_DEFAULT aac_transform_debug_category()

namespace {

constexpr guint kLoasSync = 0x2B7;
// Payload bits beyond which trailing data means a mis-framed buffer.
constexpr guint kMaxTrailingBits = 256;
// audioMuxLengthBytes is 13 bits: nothing longer is one frame.
constexpr gsize kMaxFrameBytes = 3 + 8191 + kMaxTrailingBits / 8;

// Bits [start, end) of `data` as bytes, the last one padded with zeros.
GstBuffer *
copy_bits(const guint8 *data, gsize size, guint start, guint end)
{
  const guint nbits = end - start;
  const guint nbytes = (nbits + 7) / 8;
  GstBuffer *out = gst_buffer_new_allocate(nullptr, nbytes, nullptr);
  gstref::BufferMap map(out, GST_MAP_WRITE);
  GstBitReader br;
  gst_bit_reader_init(&br, data, size);
  gst_bit_reader_set_pos(&br, start);
  guint8 *dst = map.data();
  for (guint i = 0; i < nbytes; ++i) {
    const guint take = MIN(8u, nbits - 8 * i);
    dst[i] = gst_bit_reader_get_bits_uint8_unchecked(&br, take) << (8 - take);
  }
  return out;
}

#define READ_BITS(br, type, var, n) \
  if (!gst_bit_reader_get_bits_##type(br, &(var), n)) return FALSE
#define SKIP_BITS(br, n) \
  if (!gst_bit_reader_skip(br, n)) return FALSE

gboolean
loas_parse_payload_length_info(GstElement *element, const LoasState *state, GstBitReader *br,
                               guint16 *length)
{
  switch (state->frame_length_type) {
    case 0: {
      // MuxSlotLengthBytes: 8-bit values summed while they read 255.
      guint32 sum = 0;
      guint8 tmp;
      do {
        READ_BITS(br, uint8, tmp, 8);
        sum += tmp;
      } while (tmp == 255);
      if (sum > G_MAXUINT16) return FALSE;
      *length = sum;
      return TRUE;
    }
    case 1:
      // ISO/IEC 14496-3 1.7.3.3: a fixed payload of 8 * (frameLength + 20) bits.
      *length = state->frame_length + 20;
      return TRUE;
    case 3:
    case 5:
    case 7:
      if (gst_bit_reader_get_remaining(br) >= 2) {
        gst_bit_reader_skip_unchecked(br, 2);  // MuxSlotLengthCoded
        return FALSE;
      }
      [[fallthrough]];
    default:
      GST_WARNING_OBJECT(element, "Unsupported LOAS frame_length_type");
      *length = 0;
      return TRUE;
  }
}

gboolean
loas_parse_stream_mux_config(GstElement *element, LoasState *state, GstBitReader *br,
                             const guint8 *data, gsize size, GstBuffer **codec_data)
{
  guint8 audio_mux_version, flag, num_program, num_layer;
  READ_BITS(br, uint8, audio_mux_version, 1);
  state->audio_mux_version_a = 0;
  if (audio_mux_version == 1) {
    READ_BITS(br, uint8, state->audio_mux_version_a, 1);
    if (state->audio_mux_version_a == 1) {
      state->loas_initialized = 1;
      return TRUE;
    }
    // taraBufferFullness and the LatmGetValue fields of version 1 are not supported.
    SKIP_BITS(br, 2);
    return FALSE;
  }
  // allStreamsSameTimeFraming and numSubFrames: one payload per frame is assumed.
  SKIP_BITS(br, 1 + 6);
  READ_BITS(br, uint8, num_program, 4);
  if (num_program != 0) {
    GST_ELEMENT_ERROR(element, STREAM, NOT_IMPLEMENTED,
                      ("Multiple LOAS programs are not supported"), (nullptr));
    return FALSE;
  }
  READ_BITS(br, uint8, num_layer, 3);
  if (num_layer != 0) {
    GST_ELEMENT_ERROR(element, STREAM, NOT_IMPLEMENTED, ("Multiple LOAS layers are not supported"),
                      (nullptr));
    return FALSE;
  }

  const guint asc_start = gst_bit_reader_get_pos(br);
  AacAudioConfig config;
  if (!loas_parse_audio_specific_config(br, &config)) return FALSE;
  if (config.ga_specific && config.extension_flag) return FALSE;
  const guint asc_end = gst_bit_reader_get_pos(br);
  if (codec_data) {
    if (*codec_data) gst_buffer_unref(*codec_data);
    *codec_data = copy_bits(data, size, asc_start, asc_end);
  }

  READ_BITS(br, uint8, state->frame_length_type, 3);
  switch (state->frame_length_type) {
    case 0: SKIP_BITS(br, 8); break;  // latmBufferFullness
    case 1: READ_BITS(br, uint16, state->frame_length, 9); break;
    case 3:
    case 4:
    case 5: SKIP_BITS(br, 6); break;  // CELPframeLengthTableIndex
    case 6:
    case 7: SKIP_BITS(br, 1); break;  // HVXCframeLengthTableIndex
    default: break;
  }
  READ_BITS(br, uint8, flag, 1);  // otherDataPresent
  if (flag) {
    guint8 esc;
    do {
      READ_BITS(br, uint8, esc, 1);
      SKIP_BITS(br, 8);  // otherDataLenTmp
    } while (esc);
  }
  READ_BITS(br, uint8, flag, 1);  // crcCheckPresent
  if (flag) SKIP_BITS(br, 8);
  state->loas_initialized = 1;
  return TRUE;
}

gboolean
loas_parse_audio_mux_element(GstElement *element, LoasState *state, GstBitReader *br,
                             const guint8 *data, gsize size, GstBuffer **payload,
                             GstBuffer **codec_data)
{
  guint8 use_same_stream_mux;
  READ_BITS(br, uint8, use_same_stream_mux, 1);
  if (use_same_stream_mux) {
    if (!state->loas_initialized) {
      GST_DEBUG_OBJECT(element, "Not initialized yet, skipping frame");
      return FALSE;
    }
  } else if (!loas_parse_stream_mux_config(element, state, br, data, size, codec_data)) {
    return FALSE;
  }
  if (state->audio_mux_version_a != 0) return TRUE;

  guint16 length;
  if (!loas_parse_payload_length_info(element, state, br, &length)) return FALSE;

  const guint remaining = gst_bit_reader_get_remaining(br);
  // No length known: the rest of the buffer is the payload.
  if (length == 0) length = remaining / 8;
  // Not even the end element of a raw_data_block fits in nothing.
  if (length == 0 || 8u * length > remaining) {
    GST_WARNING_OBJECT(element, "Incomplete LOAS frame");
    return FALSE;
  }
  // Up to 32 whole bytes may follow the payload, plus the bits that align it.
  if ((remaining - 8u * length) / 8 > kMaxTrailingBits / 8) {
    GST_WARNING_OBJECT(element, "Invalid LOAS frame size");
    return FALSE;
  }
  if (payload) {
    const guint start = gst_bit_reader_get_pos(br);
    if (*payload) gst_buffer_unref(*payload);
    if (start % 8 == 0) {
      *payload = gst_buffer_new_memdup(data + start / 8, length);
    } else {
      *payload = copy_bits(data, size, start, start + 8u * length);
    }
  }
  return TRUE;
}

}  // namespace

gboolean
aac_read_program_config_element(GstBitReader *br, GstBitWriter *bw, guint *channels)
{
  auto copy = [br, bw](guint n, guint8 *value = nullptr) {
    guint8 v;
    if (!gst_bit_reader_get_bits_uint8(br, &v, n)) return false;
    if (bw && !gst_bit_writer_put_bits_uint8(bw, v, n)) return false;
    if (value) *value = v;
    return true;
  };
  guint8 front, side, back, lfe, assoc, cc, flag, is_cpe, comment;
  // element_instance_tag, object_type, sampling_frequency_index
  if (!copy(4) || !copy(2) || !copy(4)) return FALSE;
  if (!copy(4, &front) || !copy(4, &side) || !copy(4, &back) || !copy(2, &lfe) ||
      !copy(3, &assoc) || !copy(4, &cc))
    return FALSE;
  if (!copy(1, &flag) || (flag && !copy(4))) return FALSE;  // mono_mixdown
  if (!copy(1, &flag) || (flag && !copy(4))) return FALSE;  // stereo_mixdown
  if (!copy(1, &flag) || (flag && !copy(3))) return FALSE;  // matrix_mixdown_idx
  guint count = lfe;
  for (guint i = 0; i < guint(front + side + back); ++i) {
    if (!copy(1, &is_cpe) || !copy(4)) return FALSE;
    count += is_cpe ? 2 : 1;
  }
  for (guint i = 0; i < guint(lfe + assoc); ++i)
    if (!copy(4)) return FALSE;
  for (guint i = 0; i < cc; ++i)
    if (!copy(1 + 4)) return FALSE;
  if (!gst_bit_reader_skip_to_byte(br)) return FALSE;
  if (bw && !gst_bit_writer_align_bytes(bw, 0)) return FALSE;
  if (!copy(8, &comment)) return FALSE;
  for (guint i = 0; i < comment; ++i)
    if (!copy(8)) return FALSE;
  *channels = count;
  return TRUE;
}

gboolean
loas_parse_object_type(GstBitReader *reader, guint8 *object_type)
{
  guint8 type;
  READ_BITS(reader, uint8, type, 5);
  if (type == 31) {
    guint8 ext;
    READ_BITS(reader, uint8, ext, 6);
    type = 32 + ext;
  }
  *object_type = type;
  return TRUE;
}

gboolean
loas_parse_sample_rate(GstBitReader *reader, guint8 *index, guint32 *frequency)
{
  guint8 idx;
  guint32 freq = 0;
  READ_BITS(reader, uint8, idx, 4);
  if (idx == 15) READ_BITS(reader, uint32, freq, 24);
  if (index) *index = idx;
  if (frequency) *frequency = freq;
  return TRUE;
}

gboolean
loas_parse_audio_specific_config(GstBitReader *br, AacAudioConfig *config)
{
  AacAudioConfig c;
  if (!loas_parse_object_type(br, &c.first_object_type)) return FALSE;
  if (!loas_parse_sample_rate(br, &c.sampling_index, &c.sampling_frequency)) return FALSE;
  READ_BITS(br, uint8, c.channel_configuration, 4);
  c.object_type = c.first_object_type;
  // Explicit SBR (and PS) signalling: the extension rate, then the core object type.
  if (c.first_object_type == 5 || c.first_object_type == 29) {
    if (!loas_parse_sample_rate(br)) return FALSE;
    if (!loas_parse_object_type(br, &c.object_type)) return FALSE;
  }
  if (c.object_type == 1 || c.object_type == 2 || c.object_type == 4) {
    // GASpecificConfig (ISO/IEC 14496-3 4.4.1).
    guint8 depends_on_core, extension_flag;
    SKIP_BITS(br, 1);  // frameLengthFlag
    READ_BITS(br, uint8, depends_on_core, 1);
    if (depends_on_core) SKIP_BITS(br, 14);  // coreCoderDelay
    READ_BITS(br, uint8, extension_flag, 1);
    c.extension_flag = extension_flag;
    if (c.channel_configuration == 0) {
      // A PCE cut short ends where the bits run out: what follows fails on its own reads.
      c.pce_position = gst_bit_reader_get_pos(br);
      guint channels;
      if (aac_read_program_config_element(br, nullptr, &channels)) c.pce_channels = channels;
    }
    c.ga_specific = TRUE;
  }
  *config = c;
  return TRUE;
}

gboolean
loas_parse_frame(GstElement *element, LoasState *state, GstBuffer *buffer, GstBuffer **payload,
                 GstBuffer **codec_data)
{
  gstref::BufferMap map(buffer, GST_MAP_READ);
  if (!map.ok()) return FALSE;
  const guint8 *data = map.data();
  const gsize size = map.size();

  GstBitReader br;
  gst_bit_reader_init(&br, data, MIN(size, kMaxFrameBytes));
  guint16 sync, mux_length;
  READ_BITS(&br, uint16, sync, 11);
  if (sync != kLoasSync) {
    GST_WARNING_OBJECT(element, "Invalid LOAS sync word");
    return FALSE;
  }
  READ_BITS(&br, uint16, mux_length, 13);
  if (size < gsize(mux_length) + 3) {
    GST_WARNING_OBJECT(element, "LOAS frame too small");
    return FALSE;
  }
  // More than the largest frame plus the tolerated trailing bytes (this also keeps bit
  // positions within 32 bits).
  if (size > kMaxFrameBytes) {
    GST_WARNING_OBJECT(element, "Invalid LOAS frame size");
    return FALSE;
  }
  return loas_parse_audio_mux_element(element, state, &br, data, size, payload, codec_data);
}
