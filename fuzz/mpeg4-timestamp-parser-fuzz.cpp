// Feeds arbitrary VOPs, VOLs, timestamps and flags through mpeg4timestampparser.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/mpeg4-timestamp-parser.h"

FUZZ_ELEMENT("mpeg4timestampparser", TYPE_MPEG4_TIMESTAMP_PARSER, true)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::push_records("mpeg4timestampparser",
                          "video/mpeg,mpegversion=4,systemstream=false,parsed=true,width=64,"
                          "height=64,framerate=25/1",
                          data, size);
  return 0;
}
