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

struct Packet {
  double pts = -1, dts = -1;
};

std::string
output_path(const char *name)
{
  return std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/road-" + name;
}

std::vector<Packet>
packets(const std::string &file, const char *stream)
{
  std::vector<Packet> out;
  std::istringstream text(run_command(std::string("ffprobe -v error -select_streams ") + stream +
                                      " -show_entries packet=pts_time,dts_time -of csv=p=0 " +
                                      file)
                              .output);
  for (std::string line; std::getline(text, line);) {
    if (line.empty()) continue;
    Packet p;
    if (sscanf(line.c_str(), "%lf,%lf", &p.pts, &p.dts) >= 1) out.push_back(p);
  }
  return out;
}

// Every packet kept, DTS strictly increasing and never above PTS.
void
expect_sane_timestamps(const std::string &file, const char *stream, size_t expected_packets)
{
  const std::vector<Packet> p = packets(file, stream);
  EXPECT_EQ(p.size(), expected_packets) << file << " " << stream;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i].dts < 0) continue;
    EXPECT_LE(p[i].dts, p[i].pts + 1e-6) << file << " packet " << i;
    if (i > 0 && p[i - 1].dts >= 0) {
      EXPECT_GT(p[i].dts, p[i - 1].dts) << file << " packet " << i;
    }
  }
}

bool
decodes_cleanly(const std::string &file)
{
  return run_command("ffmpeg -v error -xerror -i " + file + " -f null - 2>&1").status == 0;
}

std::string
sample_aspect_ratio(const std::string &file)
{
  std::string sar = run_command("ffprobe -v error -select_streams v:0 -show_entries "
                                "stream=sample_aspect_ratio -of csv=p=0 " +
                                file)
                        .output;
  return sar.substr(0, sar.find_first_of(",\n"));
}

class TypicalRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *need : {"x264enc", "avenc_aac", "mpeg2enc", "ffprobe", "ffmpeg"})
      if (!have_factory(need) && !have_program(need)) GTEST_SKIP() << "needs " << need;
  }
};

TEST_F(TypicalRoad, H264AndAacRemuxToTsAndMp4)
{
  const std::string input = media::h264_aac_mp4();
  ASSERT_FALSE(input.empty());
  const size_t video = packets(input, "v:0").size(), audio = packets(input, "a:0").size();
  ASSERT_GT(video, 0u);
  ASSERT_GT(audio, 0u);
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
    EXPECT_EQ(sample_aspect_ratio(out), "4:3");
    EXPECT_TRUE(decodes_cleanly(out));
  }
}

TEST_F(TypicalRoad, Mpeg2ProgramStreamRemuxesToTs)
{
  const std::string input = media::mpeg2_ps();
  ASSERT_FALSE(input.empty());
  // A program stream packs several pictures into one PES packet: count decoded pictures.
  const size_t video = std::stoul(
      "0" + run_command("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=nb_read_frames -of csv=p=0 " + input).output);
  ASSERT_GT(video, 0u);
  const std::string out = output_path("mpeg2.ts");
  PipelineResult r = run_pipeline("cachedfilesrc location=" + input +
                                  " ! mpegpsdemux ! mpegparsebin ! bufferskip ! mpegtsmux ! "
                                  "filesink location=" + out);
  ASSERT_TRUE(r.ok) << r.error;
  expect_sane_timestamps(out, "v:0", video);
  EXPECT_TRUE(decodes_cleanly(out));
}

TEST_F(TypicalRoad, SurroundAudioForHeadphonesAndNormalised)
{
  const std::string input = media::gst_clip(
      "road-5.1.wav",
      "audiotestsrc num-buffers=100 samplesperbuffer=960 wave=pink-noise volume=0.5 ! "
      "capsfilter caps=audio/x-raw,format=F32LE,rate=48000,channels=6,"
      "channel-mask=(bitmask)0x3f ! wavenc ! filesink location={out}");
  ASSERT_FALSE(input.empty());
  const std::string headphones = output_path("headphones.wav");
  const std::string normalised = output_path("normalised.wav");
  for (const auto &[element, out] :
       {std::pair{"binauraldownmixer", headphones}, std::pair{"dynamicaudionormalizer", normalised}}) {
    PipelineResult r = run_pipeline("cachedfilesrc location=" + input +
                                    " ! wavparse ! audioconvert ! "
                                    "capsfilter caps=audio/x-raw,format=F32LE ! " + element +
                                    " ! bufferskip ! wavenc ! filesink location=" + out);
    ASSERT_TRUE(r.ok) << element << ": " << r.error;
    EXPECT_TRUE(decodes_cleanly(out)) << element;
  }
  auto stream_info = [](const std::string &file) {
    return run_command("ffprobe -v error -show_entries stream=channels,duration_ts -of csv=p=0 " +
                       file)
        .output;
  };
  // Both keep every sample: 100 x 960 frames; the headphone version is stereo.
  EXPECT_EQ(stream_info(headphones), "2,96000\n");
  EXPECT_EQ(stream_info(normalised), "6,96000\n");
}

}  // namespace
