#include "transcoding-plugins/base-plugins/mlp-parse.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

// AC-3 at 448 kbit/s at 48 kHz, 44.1 kHz (odd code: one word more) and 32 kHz, E-AC-3
// frmsiz 0x2FF; bsid 17, reserved rate and size codes and E-AC-3 frmsiz 1 are refused.
TEST(MlpParseTest, Ac3FrameSizes)
{
  const std::pair<Bytes, guint> kAc3[] = {
      {{0x0B, 0x77, 0, 0, 0x1E, 0x40}, 1792}, {{0x0B, 0x77, 0, 0, 0x5F, 0x40}, 1952},
      {{0x0B, 0x77, 0x02, 0xFF, 0, 0x80}, 1536}, {{0x0B, 0x77, 0, 0, 0x1E, 0x88}, 0},
      {{0x0B, 0x77, 0, 0, 0xDE, 0x40}, 0}, {{0x0B, 0x77, 0, 0, 38, 0x40}, 0},
      {{0x0B, 0x77, 0, 0, 0x9E, 0x40}, 2688}, {{0x0B, 0x77, 0, 1, 0, 0x80}, 0}};
  for (const auto &[header, size] : kAc3) EXPECT_EQ(mlp_ac3_frame_size(header.data()), size);
}

// Access units of a raw TrueHD/MLP stream, split by their length field.
std::vector<Bytes>
split_units(const Bytes &stream)
{
  std::vector<Bytes> units;
  for (gsize pos = 0, len; pos + 2 <= stream.size(); pos += len) {
    len = 2 * (((stream[pos] & 0x0F) << 8) | stream[pos + 1]);
    if (len == 0 || pos + len > stream.size()) break;
    units.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
  }
  return units;
}

// The units mlpparse makes of `data` pushed in `chunk`-byte buffers; every unit's PTS and
// duration must follow 40 samples of the base rate (48 or 44.1 kHz) from the first.
std::vector<Bytes>
parse(const Bytes &data, gsize chunk, int rate = 48000, Ref<GstCaps> *caps = nullptr,
      const char *in_caps = "audio/x-true-hd")
{
  Harness h = make_harness("mlpparse", in_caps, nullptr);
  for (gsize pos = 0; pos < data.size(); pos += chunk) {
    const Bytes piece(data.begin() + pos, data.begin() + std::min(pos + chunk, data.size()));
    // The parser interpolates from the first timestamp it sees.
    EXPECT_EQ(gst_harness_push(h.get(), make_buffer(piece, pos ? GST_CLOCK_TIME_NONE : 0)),
              GST_FLOW_OK);
  }
  gst_harness_push_event(h.get(), gst_event_new_eos());
  std::vector<Bytes> units;
  const GstClockTime unit = GST_SECOND * 40 / (rate % 44100 ? 48000 : 44100);  // truncated
  for (auto &b : pull_all(h.get())) {
    EXPECT_NEAR(double(GST_BUFFER_PTS(b.get())), double(units.size() * unit), 2.0) << units.size();
    EXPECT_NEAR(double(GST_BUFFER_DURATION(b.get())), double(unit), 1.0) << units.size();
    units.push_back(buffer_bytes(b.get()));
  }
  if (caps) *caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
  return units;
}

// Real streams from FFmpeg's encoders at both rate families: the same units, caps from the
// major sync, and decoded through mlpparse the same PCM as FFmpeg decodes from the file.
class MlpParseStreamTest : public ::testing::TestWithParam<std::tuple<bool, int, int>> {};

TEST_P(MlpParseStreamTest, FramesUnitsThatDecodeLikeFfmpeg)
{
  const auto [truehd, rate, channels] = GetParam();
  const std::string path = truehd ? media::truehd(rate, channels) : media::mlp(rate, channels);
  ASSERT_FALSE(path.empty());
  const Bytes stream = media::read_file(path);
  Ref<GstCaps> caps;
  // Demuxers announce MLP as audio/x-mlp.
  EXPECT_EQ(parse(stream, 4096, rate, &caps, truehd ? "audio/x-true-hd" : "audio/x-mlp"),
            split_units(stream));
  const std::string want = std::string(truehd ? "audio/x-true-hd" : "audio/x-mlp") +
                           ", framed=true, channels=" + std::to_string(channels) +
                           ", rate=" + std::to_string(rate);
  Ref<GstCaps> expected = gstref::adopt(gst_caps_from_string(want.c_str()));
  EXPECT_TRUE(caps && gst_caps_is_equal(caps.get(), expected.get())) << want;
  EXPECT_EQ(media::gst_pcm_md5("filesrc location=" + path + " ! mlpparse ! " +
                               (truehd ? "avdec_truehd" : "avdec_mlp")),
            media::ffmpeg_pcm_md5(path));
}

INSTANTIATE_TEST_SUITE_P(Streams, MlpParseStreamTest,
                         ::testing::Values(std::tuple{true, 48000, 6}, std::tuple{true, 96000, 2},
                                           std::tuple{true, 44100, 2}, std::tuple{false, 48000, 2},
                                           std::tuple{false, 88200, 6}));

// Blu-ray interleaves AC-3 frames with the units, junk can precede the first major sync, and
// a corrupt unit costs only the units up to the next major sync. Odd chunk sizes make units
// and frames straddle buffers.
TEST(MlpParseTest, MixedAndDamagedStreams)
{
  const std::string thd = media::truehd(48000, 6), ac3 = media::ac3_448k(48000, 6);
  ASSERT_FALSE(thd.empty() || ac3.empty());
  const std::vector<Bytes> units = split_units(media::read_file(thd));
  const Bytes ac3_bytes = media::read_file(ac3);
  MlpMajorSync info;
  guint8 format = 0;
  Bytes sync(units.at(0).begin() + 4, units.at(0).begin() + 32);
  sync[3] = 0xBC;  // no such format: refused, and named
  EXPECT_FALSE(mlp_parse_major_sync(sync.data(), sync.size(), &info, &format) || format != 0xBC);
  Bytes clean, mixed, broken;
  // Each AC-3 frame (1536 samples) precedes the units (40 samples) whose start falls inside it.
  gsize next_ac3 = 0, victim = 0, next_sync = 0;
  for (gsize i = 0; i < units.size(); ++i) {
    for (; next_ac3 * 1792 < ac3_bytes.size() && next_ac3 * 1536 <= i * 40; ++next_ac3)
      mixed.insert(mixed.end(), ac3_bytes.begin() + next_ac3 * 1792,
                   ac3_bytes.begin() + (next_ac3 + 1) * 1792);
    append(mixed, units[i]), append(clean, units[i]);
    const bool major = units[i][4] == 0xF8 && units[i][5] == 0x72;
    if (!victim && !major && i > 2) victim = i;
    if (victim && !next_sync && major) next_sync = i;
    Bytes unit = units[i];
    if (i == victim && i) unit[2] ^= 0x10;  // breaks the nibble parity of the header
    append(broken, unit);
  }
  ASSERT_GT(next_ac3, 10u);
  ASSERT_TRUE(next_sync) << "the stream has several major syncs";
  Bytes junk(3000, 0x55);
  // A false sync word whose unit would start before the data must not swallow the stream.
  junk[2] = 0xF8, junk[3] = 0x72, junk[4] = 0x6F, junk[5] = 0xBA;
  std::vector<Bytes> survivors(units.begin(), units.begin() + victim);
  survivors.insert(survivors.end(), units.begin() + next_sync, units.end());
  const struct {
    const char *name;
    Bytes stream;
    const std::vector<Bytes> &want;
  } kCases[] = {{"AC-3 between units", mixed, units},
                {"junk first", Bytes{0x12, 0x34, 0x56, 0x78} + clean, units},
                {"false sync in junk", junk + clean, units},
                {"corrupt unit", broken, survivors}};
  for (const auto &c : kCases)
    for (gsize chunk : {gsize(777), c.stream.size()}) {
      SCOPED_TRACE(testing::Message() << c.name << ", chunk " << chunk);
      EXPECT_EQ(parse(c.stream, chunk), c.want);
    }
  // And the decoder gets the same audio from the mixed stream as from the clean one.
  const std::string path = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/mixed.thd";
  ASSERT_TRUE(g_file_set_contents(path.c_str(), reinterpret_cast<const char *>(mixed.data()),
                                  mixed.size(), nullptr));
  EXPECT_EQ(media::gst_pcm_md5("filesrc location=" + path + " ! mlpparse ! avdec_truehd"),
            media::ffmpeg_pcm_md5(thd));
}

}  // namespace
