// mlpparse: frames Dolby TrueHD and MLP elementary streams into access units.
//
// Reads rate and channels from the first major sync, sets caps once and lets GstBaseParse
// stamp each unit with samples_per_frame / rate. AC-3 and E-AC-3 frames that Blu-ray streams
// interleave with TrueHD units are dropped by their own size without losing sync.
//
//   gst-launch-1.0 filesrc location=a.thd ! mlpparse ! avdec_truehd ! audioconvert ! autoaudiosink
//
// Limits: stream parameters come only from the major sync that ends a resynchronisation;
// later changes inside the stream reach neither caps nor frame rate.
#include "transcoding-plugins/base-plugins/mlp-parse.h"

#include <gst/base/gstbitreader.h>
#include <gst/base/gstbytereader.h>

#include <array>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(mlp_parse_debug);
#define GST_CAT_DEFAULT mlp_parse_debug

namespace {

constexpr guint32 kMajorSync = 0xF8726FBA;
constexpr guint32 kMajorSyncMask = 0xFFFFFFFE;  // format byte 0xBA (TrueHD) or 0xBB (MLP)
constexpr guint8 kFormatTrueHd = 0xBA;
constexpr guint8 kFormatMlp = 0xBB;
// Access unit header (4) plus major_sync_info (28).
constexpr gsize kMajorSyncUnitHeader = 32;
constexpr gsize kMajorSyncInfoSize = 28;

// MLP channel_arrangement -> channel count.
constexpr std::array<guint8, 32> kMlpChannelCount = {
    1, 2, 3, 4, 3, 4, 5, 3, 4, 5, 4, 5, 6, 4, 5, 4, 5, 6, 5, 5, 6,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// TrueHD channel assignment flag bit -> channels it adds.
constexpr std::array<guint8, 13> kTrueHdChannelCount = {2, 1, 1, 2, 2, 2, 2, 1, 1, 2, 2, 1, 1};
// AC-3 nominal bit rates (kbit/s) by frmsizecod >> 1 (ATSC A/52 Table 5.18).
constexpr std::array<guint, 19> kAc3Rates = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                             192, 224, 256, 320, 384, 448, 512, 576, 640};

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-true-hd,framed = (boolean) true, channels = (int) [1, 8]; "
                    "audio/x-mlp,framed = (boolean) true, channels = (int) [1, 8]"));
// MLP is announced as audio/x-mlp by demuxers and taken so by avdec_mlp.
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-true-hd; audio/x-mlp"));

guint
sample_rate_of(guint field)
{
  if (field == 15) return 0;
  return ((field & 8) ? 44100u : 48000u) << (field & 7);
}

}  // namespace

struct _GstMlpParse {
  GstBaseParse parent;
  gboolean need_sync;
  guint num_substreams;
  gboolean is_truehd;
  guint channels;
  guint rate;
  guint samples_per_frame;
};

G_DEFINE_TYPE(GstMlpParse, gst_mlp_parse, GST_TYPE_BASE_PARSE)

gboolean
mlp_parse_register(GstPlugin *plugin)
{
  return element_register(plugin, "mlpparse", GST_RANK_PRIMARY, GST_TYPE_MLP_PARSE,
                          &mlp_parse_debug, "mlpparse", "MLP/TrueHD Audio Parser");
}

static gboolean gst_mlp_parse_start(GstBaseParse *parse);
static GstFlowReturn gst_mlp_parse_handle_frame(GstBaseParse *parse, GstBaseParseFrame *frame,
                                                gint *skipsize);
static gboolean gst_mlp_parse_sink_event(GstBaseParse *parse, GstEvent *event);

static void
gst_mlp_parse_class_init(GstMlpParseClass *klass)
{
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseParseClass *parse_class = GST_BASE_PARSE_CLASS(klass);

  parse_class->start = GST_DEBUG_FUNCPTR(gst_mlp_parse_start);
  parse_class->handle_frame = GST_DEBUG_FUNCPTR(gst_mlp_parse_handle_frame);
  parse_class->sink_event = GST_DEBUG_FUNCPTR(gst_mlp_parse_sink_event);

  gst_element_class_set_static_metadata(element_class, "MLP/TrueHD audio stream parser",
                                        "Codec/Parser/Converter/Audio", "MLP/TrueHD parser",
                                        "Transcoding team <transcoding@example.com>");
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
gst_mlp_parse_init(GstMlpParse *self)
{
  GstBaseParse *parse = GST_BASE_PARSE(self);
  gst_base_parse_set_min_frame_size(parse, 8);
  gst_base_parse_set_syncable(parse, TRUE);
  self->need_sync = TRUE;
}

static gboolean
gst_mlp_parse_start(GstBaseParse *parse)
{
  GST_MLP_PARSE(parse)->need_sync = TRUE;
  return TRUE;
}

static gboolean
gst_mlp_parse_sink_event(GstBaseParse *parse, GstEvent *event)
{
  if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) GST_MLP_PARSE(parse)->need_sync = TRUE;
  return GST_BASE_PARSE_CLASS(gst_mlp_parse_parent_class)->sink_event(parse, event);
}

// Reads the stream parameters of the major sync at `sync`; an unknown format leaves them as
// they were.
static void
gst_mlp_parse_sync(GstMlpParse *self, const guint8 *sync, gsize size)
{
  MlpMajorSync info;
  guint8 format = 0;
  if (!mlp_parse_major_sync(sync, size, &info, &format)) {
    GST_WARNING_OBJECT(self, "Unknown MLP type %x", format);
    return;
  }
  self->is_truehd = info.is_truehd;
  self->channels = info.channels;
  self->rate = info.rate;
  self->samples_per_frame = info.samples_per_frame;
  self->num_substreams = info.num_substreams;
  GST_DEBUG_OBJECT(self, "%s major sync: %u Hz, %u channels, %u samples, %u substreams",
                   info.is_truehd ? "TrueHD" : "MLP", info.rate, info.channels,
                   info.samples_per_frame, info.num_substreams);
  gst_base_parse_set_frame_rate(GST_BASE_PARSE(self), self->rate, self->samples_per_frame, 0,
                                0);
}

static guint
lost_sync(GstMlpParse *self, gint *skipsize)
{
  if (*skipsize == 0) *skipsize = 1;
  self->need_sync = TRUE;
  return 0;
}

// Decides what the data at the start of `d` is. Returns the length of the access unit (or
// of the AC-3 frame, with *ac3 set) to finish, or 0 with *skipsize set (skip or lost sync)
// or not (need more data).
static guint
gst_mlp_parse_find_unit(GstMlpParse *self, const guint8 *d, gsize n, gint *skipsize, bool *ac3)
{
  // Need more data: return without skipping or finishing.
  if (self->need_sync && n < kMajorSyncUnitHeader) return 0;
  if (n < 8) return 0;

  // Byte by byte: GST_READ_UINT32_BE loads unaligned words.
  const guint32 s = ((guint32(d[4]) << 24) | (d[5] << 16) | (d[6] << 8) | d[7]) & kMajorSyncMask;
  if (self->need_sync) {
    if (s != kMajorSync) {
      // The sync word sits 4 bytes into its access unit, so matches before offset 4 belong to
      // units whose start is already gone: scan from 4 so that a later sync in this data is
      // not skipped with them.
      GstByteReader reader;
      gst_byte_reader_init(&reader, d, n);
      const guint off = gst_byte_reader_masked_scan_uint32(&reader, kMajorSyncMask, kMajorSync,
                                                           4, n - 4);
      if (off == G_MAXUINT) {
        // Keep the last 7 bytes: they may hold the start of a unit whose sync is cut off.
        *skipsize = gint(n - 7);
      } else {
        *skipsize = gint(off - 4);
      }
      GST_LOG_OBJECT(self, "no major sync at the start, skipping %d bytes", *skipsize);
      return 0;
    }
    gst_mlp_parse_sync(self, d + 4, n - 4);
    self->need_sync = FALSE;
  }

  if (d[0] == 0x0B && d[1] == 0x77) {
    const guint size = mlp_ac3_frame_size(d);
    if (size == 0) return lost_sync(self, skipsize);
    if (n < size) return 0;
    *ac3 = true;
    return size;
  }

  const bool major = s == kMajorSync;
  const gsize header = (major ? kMajorSyncUnitHeader : 4) + 4 * gsize(self->num_substreams);
  if (n < header) return 0;
  if (!major && !mlp_check_parity(d, n, self->num_substreams)) {
    GST_LOG_OBJECT(self, "parity check failed, resyncing");
    return lost_sync(self, skipsize);
  }

  // access_unit_length counts 16-bit words.
  const guint length = 2 * (((d[0] & 0x0F) << 8) | d[1]);
  if (length == 0) return lost_sync(self, skipsize);
  if (n < length) return 0;
  return length;
}

static GstFlowReturn
gst_mlp_parse_handle_frame(GstBaseParse *parse, GstBaseParseFrame *frame, gint *skipsize)
{
  GstMlpParse *self = GST_MLP_PARSE(parse);
  guint length;
  bool ac3 = false;
  {
    // Unmapped before finish_frame, which may replace the frame's buffer.
    gstref::BufferMap map(frame->buffer, GST_MAP_READ);
    if (!map.ok()) return GST_FLOW_ERROR;
    length = gst_mlp_parse_find_unit(self, map.data(), map.size(), skipsize, &ac3);
  }
  if (length == 0) return GST_FLOW_OK;
  if (ac3) {
    // Dropped as a frame rather than skipped: a skip marks the next unit DISCONT, and the
    // decoder would then discard units until the next major sync. Zero duration keeps the
    // interpolated timestamps of the TrueHD units.
    GST_LOG_OBJECT(self, "dropping a %u-byte AC-3 frame", length);
    GST_BUFFER_DURATION(frame->buffer) = 0;
    frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
    return gst_base_parse_finish_frame(parse, frame, length);
  }

  GstPad *srcpad = GST_BASE_PARSE_SRC_PAD(parse);
  if (!gst_pad_has_current_caps(srcpad)) {
    gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_new_simple(
        self->is_truehd ? "audio/x-true-hd" : "audio/x-mlp", "framed", G_TYPE_BOOLEAN, TRUE,
        "channels", G_TYPE_INT, gint(self->channels), "rate", G_TYPE_INT, gint(self->rate),
        nullptr));
    if (!gst_pad_set_caps(srcpad, caps.get())) {
      GST_ERROR_OBJECT(self, "Error setting src caps");
      return GST_FLOW_ERROR;
    }
  }
  return gst_base_parse_finish_frame(parse, frame, length);
}

gboolean
mlp_parse_major_sync(const guint8 *sync, gsize size, MlpMajorSync *out, guint8 *format)
{
  if (size < kMajorSyncInfoSize) return FALSE;
  GstBitReader br;
  gst_bit_reader_init(&br, sync, kMajorSyncInfoSize);
  gst_bit_reader_skip_unchecked(&br, 24);
  const guint8 fmt = gst_bit_reader_get_bits_uint8_unchecked(&br, 8);
  *format = fmt;
  MlpMajorSync info;
  guint rate_field;
  if (fmt == kFormatTrueHd) {
    info.is_truehd = TRUE;
    rate_field = gst_bit_reader_get_bits_uint32_unchecked(&br, 4);
    // Reserved nibble and the stream 0/1 channel modifiers.
    gst_bit_reader_skip_unchecked(&br, 8);
    const guint stream1 = gst_bit_reader_get_bits_uint32_unchecked(&br, 5);
    gst_bit_reader_skip_unchecked(&br, 2);
    const guint stream2 = gst_bit_reader_get_bits_uint32_unchecked(&br, 13);
    info.channels = mlp_truehd_channel_count(stream2 ? stream2 : stream1);
  } else if (fmt == kFormatMlp) {
    info.is_truehd = FALSE;
    gst_bit_reader_skip_unchecked(&br, 8);  // quantisation word sizes
    rate_field = gst_bit_reader_get_bits_uint32_unchecked(&br, 4);
    gst_bit_reader_skip_unchecked(&br, 4 + 11);
    info.channels = kMlpChannelCount[gst_bit_reader_get_bits_uint32_unchecked(&br, 5)];
  } else {
    return FALSE;
  }
  info.rate = sample_rate_of(rate_field);
  // Signature, flags and a reserved word.
  gst_bit_reader_skip_unchecked(&br, 48);
  info.samples_per_frame = 40u << (rate_field & 7);
  gst_bit_reader_skip_unchecked(&br, 1 + 15);  // variable rate flag, peak data rate
  info.num_substreams = gst_bit_reader_get_bits_uint32_unchecked(&br, 4);
  *out = info;
  return TRUE;
}

guint
mlp_truehd_channel_count(guint arrangement)
{
  guint count = 0;
  for (gsize i = 0; i < kTrueHdChannelCount.size(); ++i)
    if (arrangement & (1u << i)) count += kTrueHdChannelCount[i];
  return count;
}

guint
mlp_ac3_frame_size(const guint8 *d)
{
  const guint8 bsid_bits = d[5];
  if (bsid_bits >= 0x88) return 0;  // bsid above 16
  if (bsid_bits >= 0x58) {
    // E-AC-3 (bsid 11-16): frmsiz counts 16-bit words minus one.
    const guint frmsiz = ((d[2] & 7) << 8) | d[3];
    if (frmsiz < 2) return 0;
    return 2 * frmsiz + 2;
  }
  const guint frmsizecod = d[4] & 0x3F;
  if (frmsizecod > 37) return 0;
  const guint rate = kAc3Rates[frmsizecod >> 1];
  switch (d[4] >> 6) {
    case 0: return 4 * rate;                                     // 48 kHz
    case 1: return 2 * (rate * 320 / 147 + (frmsizecod & 1));  // 44.1 kHz
    case 2: return 6 * rate;                                     // 32 kHz
    default: return 0;
  }
}

gboolean
mlp_check_parity(const guint8 *d, gsize size, guint num_substreams)
{
  if (size < 4) return FALSE;
  guint8 x = d[0] ^ d[1] ^ d[2] ^ d[3];
  gsize pos = 4;
  for (guint i = 0; i < num_substreams; ++i) {
    if (pos + 2 > size) return FALSE;
    const guint8 *e = d + pos;
    x ^= e[0] ^ e[1];
    pos += 2;
    // extra_substream_word: a 16-bit restart offset follows.
    if (e[0] & 0x80) {
      if (pos + 2 > size) return FALSE;
      x ^= e[2] ^ e[3];
      pos += 2;
    }
  }
  return (((x >> 4) ^ x) & 0x0F) == 0x0F;
}
