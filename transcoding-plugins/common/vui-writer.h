// The leading fields of vui_parameters() that H.264 (E.1.1) and H.265 (E.2.1) share: aspect ratio,
// overscan, video signal type and chroma location. GStreamer's two codec parsers name these fields
// alike, so one writer serves both VUI structs.
#pragma once

#include <gst/base/gstbitwriter.h>

#include "transcoding-plugins/common/aspect-ratio.h"
#include "transcoding-plugins/common/gst-bit-writer.h"

template <typename Vui>
void
write_vui_leading_fields(GstBitWriter *w, const Vui &vui)
{
  gst_bit_writer_put_bits_uint32(w, vui.aspect_ratio_info_present_flag, 1);
  if (vui.aspect_ratio_info_present_flag) {
    gst_bit_writer_write_uint8(w, vui.aspect_ratio_idc);
    if (vui.aspect_ratio_idc == aspect::kExtendedSar) {
      gst_bit_writer_write_uint16(w, vui.sar_width);
      gst_bit_writer_write_uint16(w, vui.sar_height);
    }
  }
  gst_bit_writer_put_bits_uint32(w, vui.overscan_info_present_flag, 1);
  if (vui.overscan_info_present_flag)
    gst_bit_writer_put_bits_uint32(w, vui.overscan_appropriate_flag, 1);
  gst_bit_writer_put_bits_uint32(w, vui.video_signal_type_present_flag, 1);
  if (vui.video_signal_type_present_flag) {
    gst_bit_writer_put_bits_uint32(w, vui.video_format, 3);
    gst_bit_writer_put_bits_uint32(w, vui.video_full_range_flag, 1);
    gst_bit_writer_put_bits_uint32(w, vui.colour_description_present_flag, 1);
    if (vui.colour_description_present_flag) {
      gst_bit_writer_write_uint8(w, vui.colour_primaries);
      gst_bit_writer_write_uint8(w, vui.transfer_characteristics);
      gst_bit_writer_write_uint8(w, vui.matrix_coefficients);
    }
  }
  gst_bit_writer_put_bits_uint32(w, vui.chroma_loc_info_present_flag, 1);
  if (vui.chroma_loc_info_present_flag) {
    gst_bit_writer_write_ue(w, vui.chroma_sample_loc_type_top_field);
    gst_bit_writer_write_ue(w, vui.chroma_sample_loc_type_bottom_field);
  }
}
