// Feeds arbitrary pictures, timestamps and flags through mpegtimestampparser's picture walk.
#include <gst/gst.h>

#include "fuzz/video-timestamp-fuzz.h"
#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  fuzz_make_glib_warnings_fatal();
  gst_element_register(nullptr, "mpegtimestampparser", GST_RANK_NONE,
                       TYPE_MPEG_TIMESTAMP_PARSER);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzz_push_records("mpegtimestampparser",
                    "video/mpeg,mpegversion=2,systemstream=false,parsed=true", data, size);
  return 0;
}
