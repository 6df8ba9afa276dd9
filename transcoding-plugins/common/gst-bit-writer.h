// Exp-Golomb and fixed-width field coding shared by the H.264 and H.265 elements.
#pragma once

#include <gst/base/gstbitreader.h>
#include <gst/base/gstbitwriter.h>

// H.264 / H.265 clause 9.1 Exp-Golomb writers. All return TRUE only when every bit was written.
gboolean gst_bit_writer_write_ue(GstBitWriter *writer, guint32 value);
gboolean gst_bit_writer_write_se(GstBitWriter *writer, gint32 value);
gboolean gst_bit_writer_write_uint8(GstBitWriter *writer, guint8 value);
gboolean gst_bit_writer_write_uint16(GstBitWriter *writer, guint16 value);
gboolean gst_bit_writer_write_uint32(GstBitWriter *writer, guint32 value);

// Reads one ue(v) code. On failure *value is untouched and the reader stays after the bits
// consumed. Codes of 32 or more leading zeros fail: their value does not fit in 32 bits.
gboolean bit_reader_get_ue(GstBitReader *reader, guint32 *value);
