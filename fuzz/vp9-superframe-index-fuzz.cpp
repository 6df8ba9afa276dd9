// Reads superframe indexes from arbitrary bytes and pushes the same bytes through
// vp9superframesplitter: the frames must lie inside the data before the index.
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>
#include <cstdlib>

#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"

namespace {

GstHarness *harness;

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  gst_element_register(nullptr, "vp9superframesplitter", GST_RANK_NONE,
                       VP9_TYPE_SUPERFRAME_SPLITTER);
  harness = gst_harness_new("vp9superframesplitter");
  gst_harness_set_src_caps_str(harness, "video/x-vp9");
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  auto index = vp9::parse_superframe_index({data, size});
  size_t expected_out = 1;
  if (index) {
    if (index->frame_count < 1 || index->frame_count > 8 || index->index_size > size) abort();
    size_t total = 0;
    for (unsigned i = 0; i < index->frame_count; ++i) {
      if (index->frame_sizes[i] == 0) abort();
      total += index->frame_sizes[i];
    }
    if (total > size - index->index_size) abort();
    expected_out = index->frame_count;
  }

  GstBuffer *in = size ? gst_buffer_new_memdup(data, size) : gst_buffer_new();
  if (gst_harness_push(harness, in) != GST_FLOW_OK) abort();
  size_t out = 0;
  while (GstBuffer *b = gst_harness_try_pull(harness)) {
    if (index && gst_buffer_get_size(b) != index->frame_sizes[out]) abort();
    if (!index && gst_buffer_get_size(b) != size) abort();
    gst_buffer_unref(b);
    ++out;
  }
  if (out != expected_out) abort();
  return 0;
}
