#pragma once

#include <gst/gst.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

G_BEGIN_DECLS

#define VP9_TYPE_SUPERFRAME_SPLITTER (vp9_superframe_splitter_get_type())
G_DECLARE_FINAL_TYPE(VP9SuperframeSplitter, vp9_superframe_splitter, VP9, SUPERFRAME_SPLITTER,
                     GstElement)

gboolean vp9_superframe_splitter_register(GstPlugin *plugin);

G_END_DECLS

namespace vp9 {

// The frames a superframe index describes (VP9 Annex B).
struct SuperframeIndex {
  std::array<uint32_t, 8> frame_sizes{};
  unsigned frame_count = 0;
  // Bytes taken by the index at the end of the data.
  size_t index_size = 0;
};

// Reads the superframe index at the end of `data`. Returns nothing when there is no valid
// index, or when its frames are empty or do not fit in the data before the index (such a
// buffer is better passed on whole than cut wrongly).
std::optional<SuperframeIndex> parse_superframe_index(std::span<const uint8_t> data);

// Whether a frame is displayed, from the start of its uncompressed header (VP9 6.2):
// show_existing_frame or show_frame. Nothing when the header cannot be read.
std::optional<bool> frame_is_shown(std::span<const uint8_t> frame);

}  // namespace vp9
