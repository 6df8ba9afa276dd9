// Reads superframe indexes from arbitrary bytes and pushes the same bytes through
// vp9superframesplitter: the frames must lie inside the data before the index, and exactly one
// of them carries the timestamps.
#include <cstdlib>

#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"

namespace {

GstHarness *harness;

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  fuzzinput::init_element(argc, argv, "vp9superframesplitter", VP9_TYPE_SUPERFRAME_SPLITTER, true);
  harness = gst_harness_new("vp9superframesplitter");
  gst_harness_set_src_caps_str(harness, "video/x-vp9");
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const auto index = vp9::parse_superframe_index({data, size});
  GstBuffer *in = fuzzinput::buffer(data, size);
  GST_BUFFER_PTS(in) = GST_SECOND;
  if (gst_harness_push(harness, in) != GST_FLOW_OK) abort();
  size_t out = 0, timed = 0, total = 0;
  while (GstBuffer *b = gst_harness_try_pull(harness)) {
    const size_t n = gst_buffer_get_size(b);
    if (index ? out >= index->frame_count || n != index->frame_sizes[out] || n == 0 : n != size)
      abort();
    total += n;
    timed += GST_BUFFER_PTS_IS_VALID(b);
    gst_buffer_unref(b);
    ++out;
  }
  if (out != (index ? index->frame_count : 1) || timed != 1) abort();
  if (index && total + index->index_size > size) abort();
  return 0;
}
