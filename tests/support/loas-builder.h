// Builds LOAS frames (AudioSyncStream + AudioMuxElement, ISO/IEC 14496-3 1.7) for tests.
#pragma once

#include <glib.h>

#include <utility>
#include <vector>

namespace testsupport {

struct LoasFrame {
  bool use_same_stream_mux = false;
  int audio_mux_version = 0;
  int audio_mux_version_a = 0;
  int num_program = 0;
  int num_layer = 0;
  // AudioSpecificConfig as (value, bit count) fields; default AAC LC, 48 kHz, stereo.
  std::vector<std::pair<guint32, int>> asc = {{2, 5}, {3, 4}, {2, 4}, {0, 3}};
  int frame_length_type = 0;
  int frame_length = 0;  // 9-bit field for frame_length_type 1
  bool other_data = false;
  bool crc = false;
  std::vector<guint8> payload;
  gsize trailing = 0;  // zero bytes after the byte-aligned end
};

std::vector<guint8> build_loas_frame(const LoasFrame &frame);

// The LOAS frames (AudioMuxElements with their sync layer) of a stream, split by
// audioMuxLengthBytes; stops at the first frame that runs past the end.
std::vector<std::vector<guint8>> split_loas_stream(const std::vector<guint8> &stream);

}  // namespace testsupport
