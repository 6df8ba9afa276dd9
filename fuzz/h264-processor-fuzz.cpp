// Feeds arbitrary codec data and access units through h264processor.
//
// Input: a flag byte (max-queued-frames in bits 0-2, pixel-aspect-ratio with bit 3, no codec
// data with bit 4, no PTS with bit 5, a flushing seek after every buffer with bit 6, DELTA_UNIT
// on every buffer with bit 7), the codec data as a piece, then one piece per access unit.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h264-processor.h"

namespace {

// Upstream's delta flag decides what is dropped while the NAL length size is unknown.
GstPadProbeReturn
mark_delta(GstPad *, GstPadProbeInfo *info, gpointer)
{
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  fuzzinput::init_element(argc, argv, nullptr, 0);
  // Run the logging paths without printing anything.
  gst_debug_remove_log_function(gst_debug_log_default);
  gst_debug_set_threshold_for_name("H264Processor", GST_LEVEL_LOG);
  h264_processor_register(nullptr);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const uint8_t flags = in.byte();
  const uint8_t *codec = nullptr;
  size_t codec_size = 0;
  in.piece(&codec, &codec_size);
  GstHarness *h = gst_harness_new("h264processor");
  g_object_set(h->element, "max-queued-frames", flags & 7, nullptr);
  gst_harness_set_src_caps(
      h, fuzzinput::coded_caps("video/x-h264,stream-format=avc,alignment=au,parsed=true", flags,
                               codec, codec_size));
  if (flags & 128)
    gst_pad_add_probe(h->srcpad, GST_PAD_PROBE_TYPE_BUFFER, mark_delta, nullptr, nullptr);
  fuzzinput::push_pieces(h, in, flags, flags & 64);
  gst_harness_teardown(h);
  return 0;
}
