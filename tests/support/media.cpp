#include "tests/support/media.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include "tests/support/gst-helpers.h"

namespace testsupport::media {
namespace {

std::string
cache_dir()
{
  const char *dir = g_getenv("BASE_PLUGINS_TEST_MEDIA");
  std::string path = dir ? dir : "test-media";
  g_mkdir_with_parents(path.c_str(), 0755);
  return path;
}

std::string
replace_out(std::string text, const std::string &path)
{
  for (size_t pos; (pos = text.find("{out}")) != std::string::npos;)
    text.replace(pos, 5, path);
  return text;
}

// Makes `name` unless it exists; writes to a temporary name first so that test binaries
// running in parallel never see half a file.
template <typename Make>
std::string
cached(const std::string &name, const std::string &recipe, Make make)
{
  const std::string base = cache_dir() + "/" +
                            std::to_string(g_str_hash(recipe.c_str())) + "-" + name;
  if (g_file_test(base.c_str(), G_FILE_TEST_EXISTS)) return base;
  const std::string tmp = base + ".tmp" + std::to_string(getpid()) + "." +
                          base.substr(base.rfind('.') + 1);
  if (!make(tmp) || g_rename(tmp.c_str(), base.c_str()) != 0) {
    g_unlink(tmp.c_str());
    return {};
  }
  return base;
}

}  // namespace

std::string
gst_clip(const std::string &name, const std::string &pipeline)
{
  return cached(name, pipeline, [&](const std::string &tmp) {
    PipelineResult r = run_pipeline(replace_out(pipeline, tmp), 120);
    if (!r.ok) g_printerr("making %s failed: %s\n", name.c_str(), r.error.c_str());
    return r.ok;
  });
}

std::string
command_clip(const std::string &name, const std::string &command)
{
  return cached(name, command, [&](const std::string &tmp) {
    CommandResult r = run_command(replace_out(command, tmp) + " >/dev/null 2>&1");
    if (r.status != 0) g_printerr("making %s failed (%d)\n", name.c_str(), r.status);
    return r.status == 0;
  });
}

std::string
h264_mp4()
{
  return gst_clip("h264.mp4",
                  "videotestsrc num-buffers=75 pattern=ball ! "
                  "capsfilter caps=video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! "
                  "x264enc key-int-max=25 bframes=2 speed-preset=veryfast ! h264parse ! "
                  "mp4mux ! filesink location={out}");
}

std::string
h264_aac_mp4()
{
  return gst_clip("h264-aac.mp4",
                  "videotestsrc num-buffers=50 pattern=ball ! "
                  "capsfilter caps=video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! "
                  "x264enc key-int-max=25 bframes=2 speed-preset=veryfast ! h264parse ! "
                  "mp4mux name=mux ! filesink location={out} "
                  "audiotestsrc num-buffers=94 samplesperbuffer=1024 ! "
                  "capsfilter caps=audio/x-raw,format=F32LE,rate=48000,channels=2 ! "
                  "avenc_aac ! aacparse ! mux.");
}

namespace {

// FFmpeg remux of an elementary stream; it rebuilds PTS/DTS from the pictures.
std::string
remux_es(const std::string &name, const std::string &es, const char *format)
{
  if (es.empty()) return {};
  return command_clip(name, std::string("ffmpeg -v error -y -fflags +genpts -i '") + es +
                                "' -c copy -f " + format + " {out}");
}

// mpeg2enc leaks its input caps, which the leaks tracer would pin on the test that first
// asked for the clip: run it in its own process.
std::string
mpeg2enc_clip(const std::string &name, const std::string &pipeline)
{
  return command_clip(name, "gst-launch-1.0 -q " + pipeline);
}

}  // namespace

std::string
mpeg2_es()
{
  return mpeg2enc_clip("mpeg2.m2v",
                       "videotestsrc num-buffers=30 pattern=ball ! "
                       "capsfilter caps=video/x-raw,format=I420,width=176,height=144,"
                       "framerate=25/1 ! mpeg2enc format=3 b-per-refframe=2 ! "
                       "filesink location={out}");
}

std::string
mpeg2_ts()
{
  return remux_es("mpeg2.ts", mpeg2_es(), "mpegts");
}

std::string
mpeg2_ps()
{
  return remux_es("mpeg2.mpg", mpeg2_es(), "vob");
}

std::string
mpeg2_pulldown_es()
{
  // mpeg2enc writes repeat_first_field only for some heights (120 and 480 work, 240 not).
  return mpeg2enc_clip("mpeg2-pulldown.m2v",
                       "videotestsrc num-buffers=24 pattern=ball ! "
                       "capsfilter caps=video/x-raw,format=I420,width=176,height=120,"
                       "framerate=24000/1001 ! "
                       "mpeg2enc format=3 framerate=1 pulldown-3-2=true b-per-refframe=2 ! "
                       "filesink location={out}");
}

std::string
mpeg2_pulldown_ts()
{
  return remux_es("mpeg2-pulldown.ts", mpeg2_pulldown_es(), "mpegts");
}

std::string
mpeg4_avi()
{
  return command_clip("mpeg4-xvid.avi",
                      "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 30 "
                      "-pix_fmt yuv420p -c:v mpeg4 -bf 2 -vtag XVID {out}");
}

std::string
mpeg4_avi_gst()
{
  return gst_clip("mpeg4-gst.avi",
                  "videotestsrc num-buffers=30 pattern=ball ! "
                  "capsfilter caps=video/x-raw,format=I420,width=176,height=144,framerate=25/1 ! "
                  "avenc_mpeg4 max-bframes=2 ! avimux ! filesink location={out}");
}

}  // namespace testsupport::media
