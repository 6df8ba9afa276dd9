#pragma once

#include <gst/base/gstbaseparse.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_MLP_PARSE (gst_mlp_parse_get_type())
G_DECLARE_FINAL_TYPE(GstMlpParse, gst_mlp_parse, GST, MLP_PARSE, GstBaseParse)

gboolean mlp_parse_register(GstPlugin *plugin);

G_END_DECLS

// Plain bitstream helpers behind the element, usable without a pipeline.

// Stream parameters of one major sync.
struct MlpMajorSync {
  gboolean is_truehd = FALSE;
  guint channels = 0;
  guint rate = 0;  // 0 when the rate field is 15 (unknown)
  guint samples_per_frame = 0;
  guint num_substreams = 0;
};

// Parses the major sync that starts at `sync` (the 0xF8726F word, i.e. access unit + 4). Needs
// at least 28 bytes; fails on shorter data and on an unknown format byte, which it returns in
// *format.
gboolean mlp_parse_major_sync(const guint8 *sync, gsize size, MlpMajorSync *out, guint8 *format);

// Channel count of a TrueHD 13-bit channel arrangement (sum over its flag bits).
guint mlp_truehd_channel_count(guint arrangement);

// Size of the AC-3 or E-AC-3 frame at `data` (which starts with 0x0B77), 0 when the header is
// not usable. Needs 6 bytes.
guint mlp_ac3_frame_size(const guint8 *data);

// Nibble parity of an access unit header without major sync and its substream directory.
// Needs the header and directory bytes (4 + 4 * num_substreams).
gboolean mlp_check_parity(const guint8 *data, gsize size, guint num_substreams);
