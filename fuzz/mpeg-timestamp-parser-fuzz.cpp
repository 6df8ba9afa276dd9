// Feeds arbitrary pictures, timestamps and flags through mpegtimestampparser's picture walk.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

FUZZ_ELEMENT("mpegtimestampparser", TYPE_MPEG_TIMESTAMP_PARSER, true)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::push_records("mpegtimestampparser",
                          "video/mpeg,mpegversion=2,systemstream=false,parsed=true", data, size);
  return 0;
}
