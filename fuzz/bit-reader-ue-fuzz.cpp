// Reads ue(v) codes until the data runs out; every value must re-encode to the same bits.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/common/gst-bit-writer.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  GstBitReader reader;
  gst_bit_reader_init(&reader, data, size);
  for (;;) {
    const guint start = gst_bit_reader_get_pos(&reader);
    guint32 value = 0;
    if (!bit_reader_get_ue(&reader, &value)) break;
    const guint used = gst_bit_reader_get_pos(&reader) - start;
    GstBitWriter writer;
    gst_bit_writer_init(&writer);
    fuzzinput::check(gst_bit_writer_write_ue(&writer, value) &&
                     gst_bit_writer_get_size(&writer) == used);
    gst_bit_writer_reset(&writer);
  }
  return 0;
}
