// Feeds arbitrary pictures, timestamps and flags through mpegtimestampparser's picture walk.
#include <gst/gst.h>

#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  fuzzinput::init_element(argc, argv, "mpegtimestampparser", TYPE_MPEG_TIMESTAMP_PARSER, true);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::push_records("mpegtimestampparser",
                    "video/mpeg,mpegversion=2,systemstream=false,parsed=true", data, size);
  return 0;
}
