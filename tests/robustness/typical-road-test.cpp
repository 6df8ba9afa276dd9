// The typical road end to end: real files read through cachedfilesrc, stock demuxers, the parse
// bins and fixers, bufferskip on every branch, remuxed; checked with ffprobe and FFmpeg's decoder.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

std::string
output_path(const char *name)
{
  return std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/road-" + name;
}

// ffprobe's answer for `entries` of `stream` in `file`, as CSV without keys.
std::string
probe(const std::string &file, const char *stream, const char *entries)
{
  const bool frames = std::string(entries).find("frames") != std::string::npos;
  return run_command(std::string("ffprobe -v error -select_streams ") + stream +
                     (frames ? " -count_frames" : " -count_packets") + " -show_entries " +
                     entries + " -of csv=p=0 " + file)
      .output;
}

// Every packet kept (`expected` of them), DTS strictly increasing and never above PTS.
void
expect_sane_timestamps(const std::string &file, const char *stream, size_t expected)
{
  std::istringstream text(probe(file, stream, "packet=pts_time,dts_time"));
  std::vector<std::pair<double, double>> p;  // pts, dts (-1: none)
  for (std::string line; std::getline(text, line);)
    if (double pts = -1, dts = -1; sscanf(line.c_str(), "%lf,%lf", &pts, &dts) >= 1)
      p.emplace_back(pts, dts);
  EXPECT_EQ(p.size(), expected) << file << " " << stream;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i].second < 0) continue;
    EXPECT_LE(p[i].second, p[i].first + 1e-6) << file << " packet " << i;
    EXPECT_TRUE(i == 0 || p[i - 1].second < 0 || p[i].second > p[i - 1].second) << file << i;
  }
  EXPECT_EQ(run_command("ffmpeg -v error -xerror -i " + file + " -f null - 2>&1").status, 0);
}

class TypicalRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *need : {"x264enc", "avenc_aac", "mpeg2enc", "ffprobe", "ffmpeg"})
      if (!have_factory(need) && !have_program(need)) GTEST_SKIP() << "needs " << need;
  }
};

TEST_F(TypicalRoad, H264AndAacRemuxToTsAndMp4AndMpeg2PsToTs)
{
  const std::string input = media::h264_aac_mp4(), ps = media::mpeg2_ps();
  const size_t video = std::stoul("0" + probe(input, "v:0", "stream=nb_read_packets")),
               audio = std::stoul("0" + probe(input, "a:0", "stream=nb_read_packets"));
  ASSERT_GT(video * audio, 0u);
  for (const char *mux : {"mpegtsmux", "mp4mux"}) {
    SCOPED_TRACE(mux);
    const std::string out = output_path(mux);
    PipelineResult r = run_pipeline(
        "cachedfilesrc location=" + input + " ! qtdemux name=demux " + mux +
        " name=mux ! filesink location=" + out +
        " demux.video_0 ! queue ! h264parsebin ! bufferskip pixel-aspect-ratio-override=4/3 ! "
        "h264postprocessor ! mux. "
        "demux.audio_0 ! queue ! aacparse ! aactransform ! bufferskip ! mux.");
    ASSERT_TRUE(r.ok) << r.error;
    expect_sane_timestamps(out, "v:0", video);
    expect_sane_timestamps(out, "a:0", audio);
    EXPECT_EQ(probe(out, "v:0", "stream=sample_aspect_ratio").substr(0, 4), "4:3\n");
  }
  // A program stream packs several pictures into one PES packet: count decoded pictures.
  const size_t pictures = std::stoul("0" + probe(ps, "v:0", "stream=nb_read_frames"));
  ASSERT_GT(pictures, 0u);
  const std::string out = output_path("mpeg2.ts");
  PipelineResult r = run_pipeline("cachedfilesrc location=" + ps +
                                  " ! mpegpsdemux ! mpegparsebin ! bufferskip ! mpegtsmux ! "
                                  "filesink location=" + out);
  ASSERT_TRUE(r.ok) << r.error;
  expect_sane_timestamps(out, "v:0", pictures);
}

TEST_F(TypicalRoad, SurroundAudioForHeadphonesAndNormalised)
{
  const std::string input = media::gst_clip(
      "road-5.1.wav",
      "audiotestsrc num-buffers=50 samplesperbuffer=960 wave=pink-noise volume=0.5 ! "
      "capsfilter caps=audio/x-raw,format=F32LE,rate=48000,channels=6,"
      "channel-mask=(bitmask)0x3f ! wavenc ! filesink location={out}");
  // Both keep every sample: 50 x 960 frames; the headphone version is stereo.
  for (const auto &[element, channels] :
       {std::pair{"binauraldownmixer", "2"}, std::pair{"dynamicaudionormalizer", "6"}}) {
    const std::string out = output_path(element);
    PipelineResult r = run_pipeline("cachedfilesrc location=" + input +
                                    " ! wavparse ! audioconvert ! "
                                    "capsfilter caps=audio/x-raw,format=F32LE ! " + element +
                                    " ! bufferskip ! wavenc ! filesink location=" + out);
    ASSERT_TRUE(r.ok) << element << ": " << r.error;
    EXPECT_EQ(probe(out, "a:0", "stream=channels,duration_ts"), std::string(channels) + ",48000\n");
    EXPECT_EQ(run_command("ffmpeg -v error -xerror -i " + out + " -f null - 2>&1").status, 0);
  }
}

}  // namespace
