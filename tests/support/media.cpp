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

// aevalsrc expression giving each channel its own tone.
std::string
tones(int rate, int channels)
{
  std::string expr;
  for (int c = 0; c < channels; ++c) {
    if (c) expr += "|";
    expr += "0.4*sin(" + std::to_string(330 + 110 * c) + "*2*PI*t)";
  }
  const char *layout = channels == 6 ? "5.1" : channels == 1 ? "mono" : "stereo";
  return "ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=" + expr + ":s=" +
         std::to_string(rate) + ":d=0.5:c=" + layout + "'";
}

std::string
suffix(int rate, int channels)
{
  return "-" + std::to_string(rate) + "-" + std::to_string(channels);
}

}  // namespace

std::string
truehd(int rate, int channels)
{
  return command_clip("truehd" + suffix(rate, channels) + ".thd",
                      tones(rate, channels) + " -strict -2 -c:a truehd -f truehd {out}");
}

std::string
mlp(int rate, int channels)
{
  return command_clip("mlp" + suffix(rate, channels) + ".mlp",
                      tones(rate, channels) + " -strict -2 -c:a mlp -f mlp {out}");
}

std::string
ac3_448k(int rate, int channels)
{
  return command_clip("ac3" + suffix(rate, channels) + ".ac3",
                      tones(rate, channels) + " -c:a ac3 -b:a 448k -f ac3 {out}");
}

std::string
aac_adts(int rate, int channels)
{
  return gst_clip("aac" + suffix(rate, channels) + ".adts",
                  "audiotestsrc num-buffers=24 samplesperbuffer=1024 wave=sine ! "
                  "capsfilter caps=audio/x-raw,format=F32LE,rate=" + std::to_string(rate) +
                      ",channels=" + std::to_string(channels) +
                      " ! avenc_aac ! aacparse ! "
                      "capsfilter caps=audio/mpeg,stream-format=adts ! filesink location={out}");
}

std::string
aac_loas(int rate, int channels)
{
  return command_clip("aac" + suffix(rate, channels) + ".latm",
                      tones(rate, channels) + " -c:a aac -f latm {out}");
}

std::string
ffmpeg_pcm_md5(const std::string &path, const std::string &format,
               const std::string &input_options)
{
  const std::string fmt = format == "F32LE" ? "f32le" : "s32le";
  CommandResult r = run_command("ffmpeg -nostdin -v error " + input_options + " -i '" + path +
                                "' -f " + fmt + " - | md5sum");
  if (r.status != 0 || r.output.size() < 32) return {};
  return r.output.substr(0, 32);
}

std::string
bytes_md5(const std::vector<unsigned char> &bytes)
{
  gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_MD5, bytes.data(), bytes.size());
  std::string out = sum;
  g_free(sum);
  return out;
}

std::string
file_md5(const std::string &path)
{
  std::vector<unsigned char> bytes = read_file(path);
  if (bytes.empty()) return {};
  return bytes_md5(bytes);
}

std::string
gst_pcm_md5(const std::string &decode_pipeline, const std::string &format)
{
  gchar *tmp = nullptr;
  const gint fd = g_file_open_tmp("pcm-XXXXXX.raw", &tmp, nullptr);
  if (fd < 0) return {};
  close(fd);
  const std::string path = tmp;
  g_free(tmp);
  PipelineResult r = run_pipeline(decode_pipeline +
                                  " ! audioconvert ! capsfilter caps=audio/x-raw,format=" +
                                  format + ",layout=interleaved ! filesink location=" + path);
  std::string sum = r.ok ? file_md5(path) : std::string();
  if (!r.ok) g_printerr("decoding failed: %s\n", r.error.c_str());
  g_unlink(path.c_str());
  return sum;
}

std::vector<unsigned char>
read_file(const std::string &path)
{
  gchar *contents = nullptr;
  gsize length = 0;
  if (path.empty() || !g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  std::vector<unsigned char> bytes(contents, contents + length);
  g_free(contents);
  return bytes;
}

}  // namespace testsupport::media
