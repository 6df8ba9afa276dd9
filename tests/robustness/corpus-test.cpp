// Public conformance streams made by other encoders, through the video fixers: every H.264
// file on each remux path decodes to FFmpeg's frames of the file, and every VP9 vector splits
// into frames that decode as FFmpeg decodes it, each timestamped, in order. Paths and files
// left out are printed as "[ SKIPPED  ]" lines with the reason.
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

// The files of one codec, beside the source tree unless BASE_PLUGINS_CORPUS points elsewhere.
std::vector<std::string>
corpus(const char *codec)
{
  const char *root = g_getenv("BASE_PLUGINS_CORPUS");
  const std::string dir = std::string(root ? root : CORPUS_DIR) + "/" + codec;
  std::vector<std::string> paths;
  if (GDir *d = g_dir_open(dir.c_str(), 0, nullptr)) {
    while (const char *name = g_dir_read_name(d)) paths.push_back(dir + "/" + name);
    g_dir_close(d);
  }
  std::sort(paths.begin(), paths.end());
#ifdef BASE_PLUGINS_ASAN
  // Under the sanitizers every eighth file keeps the run short.
  std::vector<std::string> sample;
  for (size_t i = 0; i < paths.size(); i += 8) sample.push_back(paths[i]);
  paths.swap(sample);
#endif
  return paths;
}

// FFmpeg's decoded frames of a file, one checksum a line.
std::string
ffmpeg_frames(const std::string &path, const char *format = "framemd5")
{
  return run_command("ffmpeg -v quiet -i \"" + path + "\" -map 0:v -f " + format +
                     " - | grep -v '^#' | cut -d, -f6")
      .output;
}

void
skipped(const std::string &file, const std::string &why)
{
  std::printf("[ SKIPPED  ] %s: %s\n", file.substr(file.rfind('/') + 1).c_str(), why.c_str());
}

TEST(Corpus, H264_EveryPathDecodesToTheFramesOfTheFile)
{
  const std::vector<std::string> files = corpus("h264");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/h264; set BASE_PLUGINS_CORPUS";
  // Each path beside the same pipeline of stock elements, to tell a peer's fault from ours.
  const struct { const char *name, *ours, *stock, *ext; } paths[] = {
      {"AVC into MP4", "h264parse ! h264postprocessor ! video/x-h264,stream-format=avc ! mp4mux",
       "h264parse ! video/x-h264,stream-format=avc ! mp4mux", "mp4"},
      {"byte-stream into MPEG-TS",
       "h264parse ! h264postprocessor ! video/x-h264,stream-format=byte-stream ! mpegtsmux",
       "h264parse ! video/x-h264,stream-format=byte-stream ! mpegtsmux", "ts"},
      {"h264parsebin into Matroska", "h264parsebin ! matroskamux", "h264parse ! matroskamux",
       "mkv"},
      {"h264processor into MP4", "h264parse ! h264processor ! h264postprocessor ! mp4mux",
       "h264parse ! mp4mux", "mp4"},
      {"PAR 4/3", "h264parse ! capssetter caps=video/x-h264,pixel-aspect-ratio=4/3 ! "
                  "h264postprocessor force=true ! video/x-h264,stream-format=avc ! mp4mux",
       "h264parse ! mp4mux", "mp4"},
  };
  const std::string out = std::string(g_get_tmp_dir()) + "/corpus-" + std::to_string(getpid());
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    const std::string expected = ffmpeg_frames(file);
    ASSERT_FALSE(expected.empty());
    for (const auto &p : paths) {
      SCOPED_TRACE(p.name);
      const std::string target = out + "." + p.ext;
      auto remux = [&](const char *chain) {
        PipelineResult r = run_pipeline("filesrc location=\"" + file + "\" ! matroskademux ! " +
                                        chain + " ! filesink location=\"" + target + "\"");
        return r.ok ? ffmpeg_frames(target) : r.error;
      };
      const std::string frames = remux(p.ours);
      if (frames != expected && remux(p.stock) != expected) {
        skipped(file, std::string(p.name) + ": the stock elements alone fail here too");
        continue;
      }
      EXPECT_EQ(frames, expected);
      // Every SPS, codec data included, says 4:3 (Table E-1 idc 14) as FFmpeg reads it.
      if (std::string(p.name) != "PAR 4/3") continue;
      EXPECT_EQ(run_command("ffmpeg -v info -i \"" + target + "\" -c copy -bsf:v trace_headers "
                            "-f null - 2>&1 | grep -o 'aspect_ratio_idc .*' | sed 's/.*= //' | "
                            "sort -u").output,
                "14\n");
    }
  }
  for (const char *ext : {".mp4", ".ts", ".mkv"}) g_unlink((out + ext).c_str());
}

TEST(Corpus, Vp9_EveryVectorSplitsIntoTimestampedFramesAsFFmpegDecodes)
{
  const std::vector<std::string> files = corpus("vp9");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/vp9; set BASE_PLUGINS_CORPUS";
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    if (file.find("yuv440") != std::string::npos) {
      skipped(file, "FFmpeg's decoder has no 4:4:0, no reference");
      continue;
    }
    std::vector<GstClockTime> pts;
    const char *demux = g_str_has_suffix(file.c_str(), ".ivf") ? "ivfparse" : "matroskademux";
    PipelineResult r = run_pipeline(
        "filesrc location=\"" + file + "\" ! " + demux +
            " ! vp9superframesplitter ! avdec_vp9 ! fakesink name=sink",
        20, [&](GstBin *bin) {
          Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(bin, "sink"));
          Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
          auto probe = [](GstPad *, GstPadProbeInfo *info, gpointer times) {
            auto *v = static_cast<std::vector<GstClockTime> *>(times);
            v->push_back(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
            return GST_PAD_PROBE_OK;
          };
          gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, probe, &pts, nullptr);
        });
    // Damaged vectors: an end or a clean error, in time, and no crash.
    if (file.find("/invalid-") != std::string::npos) {
      EXPECT_NE(r.error, "timeout");
      continue;
    }
    ASSERT_TRUE(r.ok) << r.error;
    const std::string expected = ffmpeg_frames(file, "framecrc");
    EXPECT_EQ(pts.size(), static_cast<size_t>(std::count(expected.begin(), expected.end(), '\n')));
    // avdec_vp9 gives a shown existing frame the metadata of the hidden frame it repeats,
    // which has no time of its own; the stock vp9parse loses the same timestamps here.
    if (file.find("show-existing-frame") != std::string::npos) {
      skipped(file, "timestamps: avdec_vp9 repeats the hidden frame's metadata");
      continue;
    }
    for (size_t i = 0; i < pts.size(); ++i) {
      EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(pts[i])) << "frame " << i;
      EXPECT_TRUE(i == 0 || pts[i] > pts[i - 1]) << "frame " << i << " goes back";
    }
  }
}

}  // namespace
