#include "tests/support/media.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <gst/check/gstharness.h>

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

std::string
x264_clip(const std::string &name, int frames, const std::string &encoder_options)
{
  return gst_clip(name, "videotestsrc num-buffers=" + std::to_string(frames) +
                            " pattern=ball ! "
                            "capsfilter caps=video/x-raw,format=I420,width=160,height=120,"
                            "framerate=25/1 ! x264enc byte-stream=false speed-preset=veryfast " +
                            encoder_options + " ! h264parse ! mp4mux ! filesink location={out}");
}

}  // namespace

std::string
h264_no_bframes_mp4()
{
  return x264_clip("h264-no-bframes.mp4", 75, "key-int-max=25 bframes=0");
}

std::string
h264_long_gop_mp4()
{
  return x264_clip("h264-long-gop.mp4", 125, "key-int-max=100 bframes=0");
}

std::string
h264_open_gop_mp4()
{
  return x264_clip("h264-open-gop.mp4", 100,
                   "key-int-max=50 bframes=2 option-string=\"open-gop=1:scenecut=0\"");
}

EncodedStream
read_h264_avc(const std::string &path)
{
  CollectResult r = collect_buffers("filesrc location=\"" + path +
                                    "\" ! qtdemux ! h264parse ! "
                                    "capsfilter caps=video/x-h264,stream-format=avc,alignment=au ! "
                                    "fakesink name=sink sync=false");
  EncodedStream stream;
  if (!r.ok) return stream;
  stream.caps = std::move(r.caps);
  stream.buffers = std::move(r.buffers);
  return stream;
}

std::vector<DecodedFrame>
decode_h264(GstCaps *caps, const std::vector<GstBuffer *> &buffers)
{
  std::vector<DecodedFrame> frames;
  GstHarness *h = gst_harness_new("avdec_h264");
  g_object_set(h->element, "max-threads", 1, nullptr);
  gst_harness_set_src_caps(h, gst_caps_copy(caps));
  gst_harness_set_sink_caps_str(h, "video/x-raw,format=I420");
  for (GstBuffer *b : buffers) gst_harness_push(h, gst_buffer_ref(b));
  gst_harness_push_event(h, gst_event_new_eos());
  while (GstBuffer *frame = gst_harness_try_pull(h)) {
    GstMapInfo map;
    if (gst_buffer_map(frame, &map, GST_MAP_READ)) {
      gchar *md5 = g_compute_checksum_for_data(G_CHECKSUM_MD5, map.data, map.size);
      frames.push_back({GST_BUFFER_PTS(frame), md5});
      g_free(md5);
      gst_buffer_unmap(frame, &map);
    }
    gst_buffer_unref(frame);
  }
  gst_harness_teardown(h);
  return frames;
}

std::string
vp9_superframes_webm()
{
  // One-pass realtime encodes make no alt-ref frames, hence no superframes.
  const std::string common =
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 50 "
      "-pix_fmt yuv420p -c:v libvpx-vp9 -b:v 200k -deadline good -cpu-used 4 "
      "-auto-alt-ref 1 -lag-in-frames 25 -threads 1 -passlogfile {out}.pass ";
  return command_clip("vp9-superframes.webm", common + "-pass 1 -f null - && " + common +
                                                  "-pass 2 -f webm {out} && rm -f {out}.pass*");
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
