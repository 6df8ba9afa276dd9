// Feeds arbitrary VOPs, VOLs, timestamps and flags through mpeg4timestampparser.
#include <gst/gst.h>

#include "fuzz/video-timestamp-fuzz.h"
#include "transcoding-plugins/base-plugins/mpeg4-timestamp-parser.h"

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  fuzz_make_glib_warnings_fatal();
  gst_element_register(nullptr, "mpeg4timestampparser", GST_RANK_NONE,
                       TYPE_MPEG4_TIMESTAMP_PARSER);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzz_push_records("mpeg4timestampparser",
                    "video/mpeg,mpegversion=4,systemstream=false,parsed=true,width=64,height=64,"
                    "framerate=25/1",
                    data, size);
  return 0;
}
