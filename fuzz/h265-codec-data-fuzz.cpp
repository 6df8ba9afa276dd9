// Reads arbitrary bytes as an HEVC decoder configuration record: every unit listed must lie
// inside the record, after the previous one, and hold at least its two-byte header.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h265-codec-data.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const h265::Hvcc hvcc = h265::parse_hvcc(data, size);
  const bool parsed =
      hvcc.status == h265::HvccStatus::kOk || hvcc.status == h265::HvccStatus::kMalformed;
  fuzzinput::check(parsed ? hvcc.nal_length_size >= 1 && hvcc.nal_length_size <= 4
                          : hvcc.units.empty());
  gsize end = h265::kHvccHeaderSize;
  for (const h265::HvccUnit &u : hvcc.units) {
    fuzzinput::check(u.offset >= end + 2 && u.size >= 2 && u.offset <= size &&
                     size - u.offset >= u.size);
    end = u.offset + u.size;
  }
  return 0;
}
