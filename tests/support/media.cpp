#include "tests/support/media.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gst/check/gstharness.h>
#include <unistd.h>

#include "tests/support/gst-helpers.h"

namespace testsupport::media {
namespace {

// Makes `name` unless it exists, by `make` on the recipe with "{out}" naming the file. Writes
// to a temporary name first so that test binaries running in parallel never see half a file.
std::string
cached(const std::string &name, const std::string &recipe, bool (*make)(const std::string &)) {
  const char *dir = g_getenv("BASE_PLUGINS_TEST_MEDIA");
  g_mkdir_with_parents(dir ? dir : "test-media", 0755);
  const std::string base = std::string(dir ? dir : "test-media") + "/" +
                           std::to_string(g_str_hash(recipe.c_str())) + "-" + name;
  if (g_file_test(base.c_str(), G_FILE_TEST_EXISTS)) return base;
  const std::string tmp = base + ".tmp" + std::to_string(getpid()) + base.substr(base.rfind('.'));
  std::string command = recipe;
  for (size_t pos; (pos = command.find("{out}")) != std::string::npos;)
    command.replace(pos, 5, tmp);
  if (make(command) && g_rename(tmp.c_str(), base.c_str()) == 0) return base;
  g_printerr("making %s failed\n", name.c_str());
  g_unlink(tmp.c_str());
  return {};
}

// videotestsrc's ball in I420 at 25 fps through x264enc, as a gst-launch fragment.
std::string
x264(int width, int height, int frames, const std::string &encoder_options) {
  return "videotestsrc num-buffers=" + std::to_string(frames) +
         " pattern=ball ! capsfilter caps=video/x-raw,format=I420,width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=25/1 ! x264enc speed-preset=veryfast " +
         encoder_options + " ! h264parse ! mp4mux name=mux ! filesink location={out}";
}

// FFmpeg remux of an elementary stream; it rebuilds PTS/DTS from the pictures.
std::string
remux_es(const std::string &name, const std::string &es, const char *format) {
  if (es.empty()) return {};
  return command_clip(
      name, "ffmpeg -v error -y -fflags +genpts -i '" + es + "' -c copy -f " + format + " {out}");
}

// mpeg2enc leaks its input caps, which the leaks tracer would pin on the test that first asked
// for the clip: run it in its own process.
std::string
mpeg2enc_clip(const std::string &name, int frames, int height, const std::string &options) {
  return command_clip(name, "gst-launch-1.0 -q videotestsrc num-buffers=" + std::to_string(frames) +
                                " pattern=ball ! capsfilter caps=video/x-raw,format=I420,"
                                "width=176,height=" +
                                std::to_string(height) + ",framerate=" + options +
                                " b-per-refframe=2 ! filesink location={out}");
}

// Half a second of a distinct tone per channel, encoded by FFmpeg with `encoder`.
std::string
ffmpeg_tones(const char *name, int rate, int channels, const std::string &encoder) {
  std::string expr;
  for (int c = 0; c < channels; ++c)
    expr += (c ? "|" : "") + std::string("0.4*sin(") + std::to_string(330 + 110 * c) + "*2*PI*t)";
  const char *layout = channels == 6 ? "5.1" : channels == 1 ? "mono" : "stereo";
  const std::string suffix = "-" + std::to_string(rate) + "-" + std::to_string(channels);
  return command_clip(std::string(name).insert(std::string(name).find('.'), suffix),
                      "ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=" + expr + ":s=" +
                          std::to_string(rate) + ":d=0.5:c=" + layout + "' " + encoder + " {out}");
}

}  // namespace

std::string
gst_clip(const std::string &name, const std::string &pipeline) {
  return cached(name, pipeline, [](const std::string &p) {
    const PipelineResult r = run_pipeline(p, 120);
    if (!r.ok) g_printerr("%s\n", r.error.c_str());
    return r.ok;
  });
}

std::string
command_clip(const std::string &name, const std::string &command) {
  return cached(name, command, [](const std::string &c) {
    return run_command(c + " >/dev/null 2>&1").status == 0;
  });
}

std::string
h264_mp4() {
  return gst_clip("h264.mp4", x264(320, 240, 75, "key-int-max=25 bframes=2"));
}

std::string
h264_aac_mp4() {
  return gst_clip("h264-aac.mp4", x264(320, 240, 50, "key-int-max=25 bframes=2") +
                                      " audiotestsrc num-buffers=94 samplesperbuffer=1024 ! "
                                      "capsfilter caps=audio/x-raw,format=F32LE,rate=48000,"
                                      "channels=2 ! avenc_aac ! aacparse ! mux.");
}

std::string
h264_no_bframes_mp4() {
  return gst_clip("h264-no-bframes.mp4",
                  x264(160, 120, 75, "byte-stream=false key-int-max=25 bframes=0"));
}

std::string
h264_long_gop_mp4() {
  return gst_clip("h264-long-gop.mp4",
                  x264(160, 120, 125, "byte-stream=false key-int-max=100 bframes=0"));
}

std::string
h264_open_gop_mp4() {
  return gst_clip("h264-open-gop.mp4", x264(160, 120, 100,
                                            "byte-stream=false key-int-max=50 bframes=2 "
                                            "option-string=\"open-gop=1:scenecut=0\""));
}

EncodedStream
read_h264_avc(const std::string &path) {
  CollectResult r = collect_buffers("filesrc location=\"" + path +
                                    "\" ! qtdemux ! h264parse ! "
                                    "capsfilter caps=video/x-h264,stream-format=avc,alignment=au ! "
                                    "fakesink name=sink sync=false");
  return r.ok ? EncodedStream{std::move(r.caps), std::move(r.buffers)} : EncodedStream{};
}

std::vector<DecodedFrame>
decode_h264(GstCaps *caps, const std::vector<GstBuffer *> &buffers) {
  std::vector<DecodedFrame> frames;
  Harness h = make_harness("avdec_h264", nullptr, "video/x-raw,format=I420");
  g_object_set(h->element, "max-threads", 1, nullptr);
  gst_harness_set_src_caps(h.get(), gst_caps_copy(caps));
  for (GstBuffer *b : buffers) gst_harness_push(h.get(), gst_buffer_ref(b));
  gst_harness_push_event(h.get(), gst_event_new_eos());
  for (const Ref<GstBuffer> &frame : pull_all(h.get())) {
    frames.push_back({GST_BUFFER_PTS(frame.get()), bytes_md5(buffer_bytes(frame.get()))});
  }
  return frames;
}

std::string
vp9_superframes_webm() {
  // One-pass realtime encodes make no alt-ref frames, hence no superframes.
  const std::string common =
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 50 "
      "-pix_fmt yuv420p -c:v libvpx-vp9 -b:v 200k -deadline good -cpu-used 4 "
      "-auto-alt-ref 1 -lag-in-frames 25 -threads 1 -passlogfile {out}.pass ";
  return command_clip("vp9-superframes.webm", common + "-pass 1 -f null - && " + common +
                                                  "-pass 2 -f webm {out} && rm -f {out}.pass*");
}

std::string
mpeg2_es() {
  return mpeg2enc_clip("mpeg2.m2v", 30, 144, "25/1 ! mpeg2enc format=3");
}

std::string
mpeg2_ts() {
  return remux_es("mpeg2.ts", mpeg2_es(), "mpegts");
}

std::string
mpeg2_ps() {
  return remux_es("mpeg2.mpg", mpeg2_es(), "vob");
}

std::string
mpeg2_pulldown_ts() {
  // mpeg2enc writes repeat_first_field only for some heights (120 and 480 work, 240 not).
  return remux_es("mpeg2-pulldown.ts",
                  mpeg2enc_clip("mpeg2-pulldown.m2v", 24, 120,
                                "24000/1001 ! mpeg2enc format=3 framerate=1 pulldown-3-2=true"),
                  "mpegts");
}

std::string
mpeg4_avi() {
  return command_clip("mpeg4-xvid.avi",
                      "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 30 "
                      "-pix_fmt yuv420p -c:v mpeg4 -bf 2 -vtag XVID {out}");
}

std::string
mpeg4_avi_gst() {
  return gst_clip("mpeg4-gst.avi",
                  "videotestsrc num-buffers=30 pattern=ball ! "
                  "capsfilter caps=video/x-raw,format=I420,width=176,height=144,framerate=25/1 ! "
                  "avenc_mpeg4 max-bframes=2 ! avimux ! filesink location={out}");
}

std::string
truehd(int rate, int channels) {
  return ffmpeg_tones("truehd.thd", rate, channels, "-strict -2 -c:a truehd -f truehd");
}

std::string
mlp(int rate, int channels) {
  return ffmpeg_tones("mlp.mlp", rate, channels, "-strict -2 -c:a mlp -f mlp");
}

std::string
ac3_448k(int rate, int channels) {
  return ffmpeg_tones("ac3.ac3", rate, channels, "-c:a ac3 -b:a 448k -f ac3");
}

std::string
aac_loas(int rate, int channels) {
  return ffmpeg_tones("aac.latm", rate, channels, "-c:a aac -f latm");
}

std::string
aac_adts(int rate, int channels) {
  return gst_clip("aac-" + std::to_string(rate) + "-" + std::to_string(channels) + ".adts",
                  "audiotestsrc num-buffers=24 samplesperbuffer=1024 wave=sine ! "
                  "capsfilter caps=audio/x-raw,format=F32LE,rate=" +
                      std::to_string(rate) + ",channels=" + std::to_string(channels) +
                      " ! avenc_aac ! aacparse ! "
                      "capsfilter caps=audio/mpeg,stream-format=adts ! filesink location={out}");
}

std::string
ffmpeg_pcm_md5(const std::string &path, const std::string &format,
               const std::string &input_options) {
  CommandResult r = run_command("ffmpeg -nostdin -v error " + input_options + " -i '" + path +
                                "' -f " + (format == "F32LE" ? "f32le" : "s32le") + " - | md5sum");
  return r.status == 0 && r.output.size() >= 32 ? r.output.substr(0, 32) : std::string();
}

std::string
bytes_md5(const std::vector<unsigned char> &bytes) {
  gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_MD5, bytes.data(), bytes.size());
  const std::string out = sum;
  return g_free(sum), out;
}

std::string
file_md5(const std::string &path) {
  const std::vector<unsigned char> bytes = read_file(path);
  return bytes.empty() ? std::string() : bytes_md5(bytes);
}

std::string
gst_pcm_md5(const std::string &decode_pipeline, const std::string &format) {
  const CollectResult r = collect_buffers(
      decode_pipeline + " ! audioconvert ! capsfilter caps=audio/x-raw,format=" + format +
      ",layout=interleaved ! fakesink name=sink");
  if (!r.ok) return g_printerr("decoding failed: %s\n", r.error.c_str()), std::string();
  GChecksum *md5 = g_checksum_new(G_CHECKSUM_MD5);
  for (const Ref<GstBuffer> &buffer : r.buffers) {
    const std::vector<guint8> bytes = buffer_bytes(buffer.get());
    g_checksum_update(md5, bytes.data(), bytes.size());
  }
  const std::string sum = g_checksum_get_string(md5);
  return g_checksum_free(md5), sum;
}

std::vector<unsigned char>
read_file(const std::string &path) {
  gchar *contents = nullptr;
  gsize length = 0;
  if (path.empty() || !g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  std::vector<unsigned char> bytes(contents, contents + length);
  g_free(contents);
  return bytes;
}

}  // namespace testsupport::media
