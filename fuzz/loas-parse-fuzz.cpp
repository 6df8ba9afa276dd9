// Parses arbitrary buffers as LOAS frames, from a clean state or from state the input sets.
#include <gst/gst.h>

#include <cstdint>
#include <cstdlib>

#include "transcoding-plugins/base-plugins/aac-transform.h"
#include "transcoding-plugins/base-plugins/loas-parser.h"

namespace {
GstElement *g_element = nullptr;
}

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  gst_element_register(nullptr, "aactransform", GST_RANK_NONE, AAC_TYPE_TRANSFORM);
  aac_transform_debug_category();
  g_element = gst_element_factory_make("aactransform", nullptr);
  gst_object_ref_sink(g_element);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  LoasState state{};
  // The first four bytes may stand for what earlier frames left behind.
  if (size >= 4 && (data[0] & 0x80)) {
    state.loas_initialized = data[0] & 1;
    state.audio_mux_version_a = (data[0] >> 1) & 1;
    state.frame_length_type = (data[0] >> 2) & 7;
    state.frame_length = ((data[1] << 8) | data[2]) & 0x1FF;
    data += 4;
    size -= 4;
  }
  GstBuffer *buffer = size ? gst_buffer_new_memdup(data, size) : gst_buffer_new();
  // Twice: the second parse sees the state the first one wrote.
  for (int round = 0; round < 2; ++round) {
    GstBuffer *payload = nullptr, *codec_data = nullptr;
    const gboolean ok = loas_parse_frame(g_element, &state, buffer, round ? &payload : nullptr,
                                         round ? nullptr : &codec_data);
    if (ok && payload && gst_buffer_get_size(payload) > size) abort();
    if (codec_data && gst_buffer_get_size(codec_data) > size) abort();
    if (payload) gst_buffer_unref(payload);
    if (codec_data) gst_buffer_unref(codec_data);
  }
  gst_buffer_unref(buffer);
  return 0;
}
