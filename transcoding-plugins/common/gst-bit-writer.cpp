#include "transcoding-plugins/common/gst-bit-writer.h"

#include <bit>

gboolean
gst_bit_writer_write_ue(GstBitWriter *writer, guint32 value)
{
  g_return_val_if_fail(writer != nullptr, FALSE);
  const guint32 code = value + 1;
  // 0xFFFFFFFF has no 32-bit code; refuse it before touching the writer.
  if (code == 0) return FALSE;
  const guint len = 32 - std::countl_zero(code);
  if (len >= 2 && !gst_bit_writer_put_bits_uint32(writer, 0, len - 1)) return FALSE;
  return gst_bit_writer_put_bits_uint32(writer, code, len);
}

gboolean
gst_bit_writer_write_se(GstBitWriter *writer, gint32 value)
{
  // Mapping of clause 9.1.1, in unsigned arithmetic so that no step overflows.
  const guint32 mapped = value > 0 ? 2u * static_cast<guint32>(value) - 1u
                                   : 2u * (0u - static_cast<guint32>(value));
  return gst_bit_writer_write_ue(writer, mapped);
}

gboolean
gst_bit_writer_write_uint8(GstBitWriter *writer, guint8 value)
{
  return gst_bit_writer_put_bits_uint8(writer, value, 8);
}

gboolean
gst_bit_writer_write_uint16(GstBitWriter *writer, guint16 value)
{
  return gst_bit_writer_put_bits_uint16(writer, value, 16);
}

gboolean
gst_bit_writer_write_uint32(GstBitWriter *writer, guint32 value)
{
  return gst_bit_writer_put_bits_uint32(writer, value, 32);
}

gboolean
bit_reader_get_ue(GstBitReader *reader, guint32 *value)
{
  g_return_val_if_fail(reader != nullptr, FALSE);
  g_return_val_if_fail(value != nullptr, FALSE);
  guint8 bit = 0;
  guint zeros = 0;
  for (;;) {
    if (!gst_bit_reader_get_bits_uint8(reader, &bit, 1)) return FALSE;
    if (bit) break;
    ++zeros;
  }
  // 32 zeros would need a 33-bit result: fail rather than wrap.
  if (zeros >= 32) return FALSE;
  guint32 suffix = 0;
  if (zeros > 0 && !gst_bit_reader_get_bits_uint32(reader, &suffix, zeros)) return FALSE;
  *value = ((1u << zeros) - 1u) + suffix;
  return TRUE;
}
