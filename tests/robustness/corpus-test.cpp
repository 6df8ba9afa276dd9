// Public conformance streams made by other encoders, through the video fixers: every H.264
// file on each remux path decodes to FFmpeg's frames of the file, and every VP9 vector splits
// into frames that decode as FFmpeg decodes it, each timestamped, in order.
#include <glib/gstdio.h>
#include <gst/codecparsers/gsth264parser.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

// The corpus lies beside the source tree; BASE_PLUGINS_CORPUS points elsewhere.
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
  // Under the sanitizers a sample keeps the run short: every eighth file.
  for (size_t i = 0; i < paths.size(); ++i) paths.erase(paths.begin() + i + 1, paths.begin() + std::min(paths.size(), i + 8));
#endif
  return paths;
}

std::string
ffmpeg_frames(const std::string &path)
{
  return run_command("ffmpeg -v quiet -i '" + path + "' -map 0:v -f framemd5 - | grep -v '^#' | "
                     "cut -d, -f6").output;
}

void
skipped(const std::string &file, const std::string &what)
{
  std::printf("[ SKIPPED  ] %s: %s\n", g_path_get_basename(file.c_str()), what.c_str());
}

// Pixel aspect ratios of every SPS in an MP4's codec data and samples.
std::vector<std::string>
mp4_sps_aspect_ratios(const std::string &path)
{
  CollectResult r = collect_buffers("filesrc location=\"" + path + "\" ! qtdemux ! fakesink name=sink");
  std::vector<std::string> ratios;
  if (!r.ok || !r.caps) return {"unreadable: " + r.error};
  std::vector<Ref<GstBuffer>> units = std::move(r.buffers);
  const GValue *cd = gst_structure_get_value(gst_caps_get_structure(r.caps.get(), 0), "codec_data");
  GstH264NalParser *parser = gst_h264_nal_parser_new();
  auto add = [&](const guint8 *data, gsize size, bool avcc) {
    if (avcc) {
      GstH264DecoderConfigRecord *record = nullptr;
      if (gst_h264_parser_parse_decoder_config_record(parser, data, size, &record) != GST_H264_PARSER_OK) return;
      for (guint i = 0; i < record->sps->len; ++i) {
        GstH264NalUnit *nalu = &g_array_index(record->sps, GstH264NalUnit, i);
        GstH264SPS sps;
        if (gst_h264_parse_sps(nalu, &sps) != GST_H264_PARSER_OK) continue;
        ratios.push_back(std::to_string(sps.vui_parameters.par_n) + ":" + std::to_string(sps.vui_parameters.par_d));
        gst_h264_sps_clear(&sps);
      }
      gst_h264_decoder_config_record_free(record);
      return;
    }
    GstH264NalUnit nalu;
    for (guint offset = 0; gst_h264_parser_identify_nalu_avc(parser, data, offset, size, 4, &nalu) == GST_H264_PARSER_OK; offset = nalu.offset + nalu.size) {
      GstH264SPS sps;
      if (nalu.type != GST_H264_NAL_SPS || nalu.size < 2 || gst_h264_parse_sps(&nalu, &sps) != GST_H264_PARSER_OK) continue;
      ratios.push_back(std::to_string(sps.vui_parameters.par_n) + ":" + std::to_string(sps.vui_parameters.par_d));
      gst_h264_sps_clear(&sps);
    }
  };
  if (cd && GST_VALUE_HOLDS_BUFFER(cd)) {
    gstref::BufferMap map(gst_value_get_buffer(cd), GST_MAP_READ);
    add(map.data(), map.size(), true);
  }
  for (auto &b : units) {
    gstref::BufferMap map(b.get(), GST_MAP_READ);
    add(map.data(), map.size(), false);
  }
  gst_h264_nal_parser_free(parser);
  return ratios;
}

TEST(Corpus, H264_EveryPathDecodesToTheFramesOfTheFile)
{
  const std::vector<std::string> files = corpus("h264");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/h264 (set BASE_PLUGINS_CORPUS)";
  struct Path {
    const char *name, *ours, *stock, *ext;
    bool par_4_3 = false;
  } paths[] = {
      {"postprocessor to AVC in MP4", "h264parse ! h264postprocessor ! video/x-h264,stream-format=avc ! mp4mux", "h264parse ! video/x-h264,stream-format=avc ! mp4mux", "mp4"},
      {"postprocessor to byte-stream in TS", "h264parse ! h264postprocessor ! video/x-h264,stream-format=byte-stream ! mpegtsmux", "h264parse ! video/x-h264,stream-format=byte-stream ! mpegtsmux", "ts"},
      {"h264parsebin in Matroska", "h264parsebin ! matroskamux", "h264parse ! matroskamux", "mkv"},
      {"processor and postprocessor in MP4", "h264parse ! h264processor ! h264postprocessor ! mp4mux", "h264parse ! mp4mux", "mp4"},
      {"PAR 4/3 forced in MP4", "h264parse ! capssetter caps=video/x-h264,pixel-aspect-ratio=4/3 ! h264postprocessor force=true ! video/x-h264,stream-format=avc ! mp4mux", "h264parse ! mp4mux", "mp4", true},
  };
  const std::string out = std::string(g_get_tmp_dir()) + "/corpus-" + std::to_string(getpid());
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    const std::string expected = ffmpeg_frames(file);
    ASSERT_FALSE(expected.empty());
    for (const Path &p : paths) {
      SCOPED_TRACE(p.name);
      auto remux = [&](const char *chain) {
        const std::string target = out + "." + p.ext;
        PipelineResult r = run_pipeline("filesrc location=\"" + file + "\" ! matroskademux ! " + chain + " ! filesink location=\"" + target + "\"", 60);
        return r.ok ? ffmpeg_frames(target) : "pipeline failed: " + r.error;
      };
      const std::string frames = remux(p.ours);
      if (frames != expected && remux(p.stock) != expected) {
        skipped(file, std::string(p.name) + ": the stock parser alone fails here too");
        continue;
      }
      EXPECT_EQ(frames, expected);
      if (!p.par_4_3) continue;
      const std::vector<std::string> ratios = mp4_sps_aspect_ratios(out + "." + p.ext);
      EXPECT_FALSE(ratios.empty());
      for (const auto &r : ratios) EXPECT_EQ(r, "4:3");
    }
  }
  for (const char *ext : {".mp4", ".ts", ".mkv"}) g_unlink((out + ext).c_str());
}

TEST(Corpus, Vp9_EveryVectorSplitsIntoTimestampedFramesAsFFmpegDecodes)
{
  const std::vector<std::string> files = corpus("vp9");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/vp9 (set BASE_PLUGINS_CORPUS)";
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    if (file.find("yuv440") != std::string::npos) {
      skipped(file, "FFmpeg's decoder has no 4:4:0, no reference");
      continue;
    }
    // avdec_vp9 gives a shown existing frame the metadata of the hidden frame it repeats,
    // which has no time of its own; the stock vp9parse loses the same timestamps here.
    const bool shows_existing = file.find("show-existing-frame") != std::string::npos;
    if (shows_existing) skipped(file, "timestamps: avdec_vp9 repeats the hidden frame's metadata");
    const bool ivf = g_str_has_suffix(file.c_str(), ".ivf");
    std::vector<GstClockTime> pts;
    PipelineResult r = run_pipeline(
        "filesrc location=\"" + file + "\" ! " + (ivf ? "ivfparse" : "matroskademux") +
            " ! vp9superframesplitter ! avdec_vp9 ! fakesink name=sink", 20, [&](GstBin *bin) {
          Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(bin, "sink"));
          Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
          gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, [](GstPad *, GstPadProbeInfo *info, gpointer times) {
            static_cast<std::vector<GstClockTime> *>(times)->push_back(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
            return GST_PAD_PROBE_OK;
          }, &pts, nullptr);
        });
    // Damaged vectors: an end or a clean error, in time, and no crash.
    if (strstr(file.c_str(), "/invalid-")) {
      EXPECT_NE(r.error, "timeout");
      continue;
    }
    EXPECT_TRUE(r.ok) << r.error;
    const std::string expected = ffmpeg_frames(file);
    EXPECT_EQ(pts.size(), static_cast<size_t>(std::count(expected.begin(), expected.end(), '\n')));
    for (size_t i = 0; i < pts.size() && !shows_existing; ++i) {
      EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(pts[i])) << "frame " << i;
      if (i > 0) {
        EXPECT_GT(pts[i], pts[i - 1]) << "frame " << i;
      }
    }
  }
}

}  // namespace
