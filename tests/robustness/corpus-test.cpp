// Public conformance streams made by other encoders, through the video fixers: every H.264
// file on each remux path decodes to FFmpeg's frames of the file, and every VP9 vector splits
// into frames that decode as FFmpeg decodes it, each timestamped, in order. Paths and files
// left out are printed as "[ SKIPPED  ]" lines with the reason.
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
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
  std::error_code absent;
  for (const auto &e : std::filesystem::directory_iterator(dir, absent)) paths.push_back(e.path());
  std::sort(paths.begin(), paths.end());
#ifdef BASE_PLUGINS_ASAN
  // Under the sanitizers every eighth file keeps the run short.
  for (size_t i = 1; i < paths.size(); ++i)
    paths.erase(paths.begin() + i, paths.begin() + std::min(paths.size(), i + 7));
#endif
  return paths;
}

// FFmpeg's decoded frames of each file, one checksum a line. One run for them all: starting
// FFmpeg costs more than decoding most of these files.
std::vector<std::string>
ffmpeg_frames(const std::vector<std::string> &paths, const char *format = "framemd5")
{
  std::string args = "ffmpeg -v quiet";
  for (const std::string &path : paths) args += " -i \"" + path + "\"";
  for (size_t i = 0; i < paths.size(); ++i) args += " -map " + std::to_string(i) + ":v";
  std::istringstream lines(run_command(args + " -f " + format + " - | grep -v '^#'").output);
  std::vector<std::string> frames(paths.size());
  for (std::string line; std::getline(lines, line);)  // stream, dts, pts, duration, size, sum
    frames.at(std::stoul(line)) += line.substr(line.rfind(',') + 2) + "\n";
  return frames;
}

TEST(Corpus, H264_EveryPathDecodesToTheFramesOfTheFile)
{
  const std::vector<std::string> files = corpus("h264");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/h264; set BASE_PLUGINS_CORPUS";
  // Each path beside the same pipeline of stock elements, to tell a peer's fault from ours.
  const struct { const char *name, *ours, *stock, *ext; } paths[] = {
      {"AVC into MP4", "h264parse ! h264postprocessor ! video/x-h264,stream-format=avc ! mp4mux",
       "h264parse ! video/x-h264,stream-format=avc ! mp4mux", "mp4"},
      {"TS", "h264parse ! h264postprocessor ! video/x-h264,stream-format=byte-stream ! mpegtsmux",
       "h264parse ! video/x-h264,stream-format=byte-stream ! mpegtsmux", "ts"},
      {"h264parsebin", "h264parsebin ! matroskamux", "h264parse ! matroskamux", "mkv"},
      {"processor", "h264parse ! h264processor ! h264postprocessor ! mp4mux", "h264parse ! mp4mux",
       "mp4"},
      {"PAR 4/3 (last)", "h264parse ! capssetter caps=video/x-h264,pixel-aspect-ratio=4/3 ! "
                         "h264postprocessor force=true ! video/x-h264,stream-format=avc ! mp4mux",
       "h264parse ! mp4mux", "mp4"},
  };
  const std::string out = std::string(g_get_tmp_dir()) + "/corpus-" + std::to_string(getpid());
  auto target = [&](size_t i) { return out + "-" + std::to_string(i) + "." + paths[i].ext; };
  for (const std::string &file : files) {
    std::vector<std::string> targets = {file}, errors(std::size(paths));
    auto remux = [&](size_t i, const char *chain) {
      PipelineResult r = run_pipeline("filesrc location=\"" + file + "\" ! matroskademux ! " +
                                      chain + " ! filesink location=\"" + target(i) + "\"");
      errors[i] = r.error;
      return r.ok ? target(i) : file;  // FFmpeg still gets a file to read
    };
    for (size_t i = 0; i < std::size(paths); ++i) targets.push_back(remux(i, paths[i].ours));
    const std::vector<std::string> frames = ffmpeg_frames(targets);
    ASSERT_FALSE(frames[0].empty()) << file;
    for (size_t i = 0; i < std::size(paths); ++i) {
      if (errors[i].empty() && frames[i + 1] == frames[0]) continue;
      if (ffmpeg_frames({remux(i, paths[i].stock)})[0] != frames[0])
        std::printf("[ SKIPPED  ] %s, %s: stock fails too\n", file.c_str(), paths[i].name);
      else
        ADD_FAILURE() << file << ", " << paths[i].name << ": " << errors[i] << " frames differ";
    }
    // Every SPS, codec data included, says 4:3 (Table E-1 idc 14) as FFmpeg reads it.
    if (errors.back().empty() && frames.back() == frames[0]) {
      EXPECT_EQ(run_command("ffmpeg -v info -i \"" + targets.back() + "\" -c copy -bsf:v "
                            "trace_headers -f null - 2>&1 | grep -o 'aspect_ratio_idc .*' | "
                            "sed 's/.*= //' | sort -u").output, "14\n");
    }
    for (size_t i = 0; i < std::size(paths); ++i) g_unlink(target(i).c_str());
  }
}

GstPadProbeReturn
record_pts(GstPad *, GstPadProbeInfo *info, gpointer times)
{
  auto *pts = static_cast<std::vector<GstClockTime> *>(times);
  pts->push_back(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
  return GST_PAD_PROBE_OK;
}

// Splits and decodes a VP9 vector, with the PTS of every picture in *pts if asked.
PipelineResult
decode_vp9(const std::string &file, std::vector<GstClockTime> *pts)
{
  const char *demux = g_str_has_suffix(file.c_str(), ".ivf") ? "ivfparse" : "matroskademux";
  const std::string tail = " ! vp9superframesplitter ! avdec_vp9 ! fakesink name=sink";
  return run_pipeline("filesrc location=\"" + file + "\" ! " + demux + tail, 20, [&](GstBin *bin) {
    Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(bin, "sink"));
    Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
    if (pts) gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, record_pts, pts, nullptr);
  });
}

TEST(Corpus, Vp9_EveryVectorSplitsIntoTimestampedFramesAsFFmpegDecodes)
{
  std::vector<std::string> files = corpus("vp9");
  if (files.empty()) GTEST_SKIP() << "no corpus in " CORPUS_DIR "/vp9; set BASE_PLUGINS_CORPUS";
  // avdec_vp9 crashes on 4:4:0 unless the caps say so (vp9parse's do), with or without us.
  if (std::erase_if(files, [](const std::string &f) { return f.ends_with("-yuv440.webm"); }))
    std::printf("[ SKIPPED  ] vp91-2-04-yuv440.webm: avdec_vp9 crashes on 4:4:0\n");
  // Damaged vectors: an end or a clean error, in time, and no crash.
  const auto valid = std::stable_partition(files.begin(), files.end(), [](const std::string &f) {
    return f.find("/invalid-") != std::string::npos;
  });
  for (auto f = files.begin(); f != valid; ++f)
    EXPECT_NE(decode_vp9(*f, nullptr).error, "timeout") << *f;
  // Sixteen vectors at a time: FFmpeg holds all its decoders at once.
  for (auto first = valid; first != files.end();) {
    const std::vector<std::string> group(first, first + std::min<size_t>(16, files.end() - first));
    first += group.size();
    const std::vector<std::string> expected = ffmpeg_frames(group, "framecrc");
    for (size_t f = 0; f < group.size(); ++f) {
      SCOPED_TRACE(group[f]);
      std::vector<GstClockTime> pts;
      EXPECT_EQ(decode_vp9(group[f], &pts).error, "");
      EXPECT_EQ(pts.size(), size_t(std::count(expected[f].begin(), expected[f].end(), '\n')));
      // avdec_vp9 gives a shown existing frame the metadata of the hidden frame it repeats,
      // which has no time of its own; the stock vp9parse loses the same timestamps here.
      if (group[f].find("show-existing-frame") != std::string::npos)
        std::printf("[ SKIPPED  ] %s: timestamps (avdec_vp9)\n", group[f].c_str());
      else
        for (size_t i = 0; i < pts.size(); ++i)  // none is the largest clock time
          EXPECT_TRUE(pts[i] != GST_CLOCK_TIME_NONE && (i == 0 || pts[i] > pts[i - 1])) << i;
    }
  }
}

}  // namespace
