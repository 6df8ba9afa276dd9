#include "transcoding-plugins/base-plugins/mlp-parse.h"

#include <glib/gstdio.h>
#include <gst/base/gstbitwriter.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

// A 28-byte major_sync_info with the given format byte and fields.
Bytes
major_sync(guint8 format, guint rate_field, guint arrangement1, guint arrangement2,
           guint substreams = 1)
{
  GstBitWriter bw;
  gst_bit_writer_init_with_size(&bw, 28, FALSE);
  gst_bit_writer_put_bits_uint32(&bw, 0xF8726F, 24);
  gst_bit_writer_put_bits_uint32(&bw, format, 8);
  if (format == 0xBA) {
    gst_bit_writer_put_bits_uint32(&bw, rate_field, 4);
    gst_bit_writer_put_bits_uint32(&bw, 0, 8);
    gst_bit_writer_put_bits_uint32(&bw, arrangement1, 5);
    gst_bit_writer_put_bits_uint32(&bw, 0, 2);
    gst_bit_writer_put_bits_uint32(&bw, arrangement2, 13);
  } else {
    gst_bit_writer_put_bits_uint32(&bw, 0, 8);
    gst_bit_writer_put_bits_uint32(&bw, rate_field, 4);
    gst_bit_writer_put_bits_uint32(&bw, 0, 4 + 11);
    gst_bit_writer_put_bits_uint32(&bw, arrangement1, 5);
  }
  gst_bit_writer_put_bits_uint32(&bw, 0xB752, 16);
  gst_bit_writer_put_bits_uint32(&bw, 0, 32);
  gst_bit_writer_put_bits_uint32(&bw, 1, 1);
  gst_bit_writer_put_bits_uint32(&bw, 0x1234, 15);
  gst_bit_writer_put_bits_uint32(&bw, substreams, 4);
  while (gst_bit_writer_get_size(&bw) < 28 * 8) gst_bit_writer_put_bits_uint32(&bw, 0, 8);
  Bytes out(gst_bit_writer_get_data(&bw), gst_bit_writer_get_data(&bw) + 28);
  gst_bit_writer_reset(&bw);
  return out;
}

TEST(MlpMajorSync, FieldsGiveRateSamplesAndChannels)
{
  struct Row {
    guint8 format;
    guint rate_field, a1, a2;
    gboolean truehd;
    guint rate, samples, channels;
  };
  const std::vector<Row> rows = {
      {0xBA, 0, 1, 0, TRUE, 48000, 40, 2},          // stream-2 empty: stream-1 arrangement
      {0xBA, 1, 1, 0x7, TRUE, 96000, 80, 4},        // flags 0, 1, 2
      {0xBA, 8, 1, (1 << 10) | 1, TRUE, 44100, 40, 4},  // flags 0 and 10
      {0xBA, 9, 1, 0, TRUE, 88200, 80, 2},
      {0xBA, 15, 1, 0, TRUE, 0, 40 << 7, 2},
      {0xBB, 0, 12, 0, FALSE, 48000, 40, 6},
      {0xBB, 2, 21, 0, FALSE, 192000, 160, 0},
  };
  for (const Row &r : rows) {
    const Bytes sync = major_sync(r.format, r.rate_field, r.a1, r.a2, 3);
    MlpMajorSync info;
    guint8 format = 0;
    ASSERT_TRUE(mlp_parse_major_sync(sync.data(), sync.size(), &info, &format));
    EXPECT_EQ(info.is_truehd, r.truehd);
    EXPECT_EQ(info.rate, r.rate) << r.rate_field;
    EXPECT_EQ(info.samples_per_frame, r.samples) << r.rate_field;
    EXPECT_EQ(info.channels, r.channels) << r.a1 << "/" << r.a2;
    EXPECT_EQ(info.num_substreams, 3u);
  }
  Bytes unknown = major_sync(0xBA, 0, 1, 0);
  unknown[3] = 0xBC;
  MlpMajorSync info;
  guint8 format = 0;
  EXPECT_FALSE(mlp_parse_major_sync(unknown.data(), unknown.size(), &info, &format));
  EXPECT_EQ(format, 0xBC);
  EXPECT_FALSE(mlp_parse_major_sync(unknown.data(), 27, &info, &format));
}

TEST(MlpAc3FrameSize, FollowsTheAc3AndEac3Headers)
{
  // AC-3, 48 kHz, frmsizecod 0x1E (448 kbit/s), bsid 8.
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 0x1E, 0x40}.data()), 1792u);
  // 44.1 kHz, 448 kbit/s: 2 * (448 * 320 / 147 + 1) for the odd code.
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 0x40 | 0x1F, 0x40}.data()), 1952u);
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 0x80 | 0x1E, 0x40}.data()), 2688u);
  // E-AC-3 (bsid 16): frmsiz 0x2FF -> 1536 bytes.
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0x02, 0xFF, 0, 0x80}.data()), 1536u);
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 1, 0, 0x80}.data()), 0u);
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 0x1E, 0x88}.data()), 0u);  // bsid 17
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 0xC0 | 0x1E, 0x40}.data()), 0u);
  EXPECT_EQ(mlp_ac3_frame_size(Bytes{0x0B, 0x77, 0, 0, 38, 0x40}.data()), 0u);
}

// Access units of a raw TrueHD/MLP file, split by their length field.
std::vector<Bytes>
split_units(const Bytes &stream)
{
  std::vector<Bytes> units;
  for (gsize pos = 0; pos + 2 <= stream.size();) {
    const gsize len = 2 * (((stream[pos] & 0x0F) << 8) | stream[pos + 1]);
    if (len == 0 || pos + len > stream.size()) break;
    units.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
    pos += len;
  }
  return units;
}

struct ParsedStream {
  std::vector<Bytes> units;
  std::vector<GstClockTime> pts, duration;
  Ref<GstCaps> caps;
};

// Pushes `data` in chunks of `chunk` bytes through mlpparse, then EOS.
ParsedStream
parse(const Bytes &data, gsize chunk, const char *caps = "audio/x-true-hd")
{
  Harness h = make_harness("mlpparse", caps, nullptr);
  for (gsize pos = 0; pos < data.size(); pos += chunk) {
    const gsize n = std::min(chunk, data.size() - pos);
    GstBuffer *b = gst_buffer_new_memdup(data.data() + pos, n);
    // The parser interpolates from the first timestamp it sees.
    if (pos == 0) GST_BUFFER_PTS(b) = 0;
    EXPECT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
  }
  gst_harness_push_event(h.get(), gst_event_new_eos());
  ParsedStream out;
  for (auto &b : pull_all(h.get())) {
    out.units.push_back(buffer_bytes(b.get()));
    out.pts.push_back(GST_BUFFER_PTS(b.get()));
    out.duration.push_back(GST_BUFFER_DURATION(b.get()));
  }
  out.caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
  return out;
}

Bytes
concat(const std::vector<Bytes> &parts)
{
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class MlpParseStreamTest : public ::testing::TestWithParam<std::tuple<bool, int, int>> {};

TEST_P(MlpParseStreamTest, FramesUnitsThatDecodeLikeFfmpeg)
{
  const auto [truehd, rate, channels] = GetParam();
  const std::string path = truehd ? media::truehd(rate, channels) : media::mlp(rate, channels);
  ASSERT_FALSE(path.empty());
  const Bytes stream = media::read_file(path);
  const std::vector<Bytes> expected = split_units(stream);
  ASSERT_GT(expected.size(), 100u);

  // Demuxers announce MLP as audio/x-mlp.
  const ParsedStream parsed = parse(stream, 4096, truehd ? "audio/x-true-hd" : "audio/x-mlp");
  EXPECT_EQ(parsed.units, expected);
  ASSERT_TRUE(parsed.caps);
  const GstStructure *s = gst_caps_get_structure(parsed.caps.get(), 0);
  EXPECT_STREQ(gst_structure_get_name(s), truehd ? "audio/x-true-hd" : "audio/x-mlp");
  gint caps_rate = 0, caps_channels = 0;
  gboolean framed = FALSE;
  EXPECT_TRUE(gst_structure_get_int(s, "rate", &caps_rate));
  EXPECT_TRUE(gst_structure_get_int(s, "channels", &caps_channels));
  EXPECT_TRUE(gst_structure_get_boolean(s, "framed", &framed) && framed);
  EXPECT_EQ(caps_rate, rate);
  EXPECT_EQ(caps_channels, channels);
  // 40 samples per unit at 48 kHz, 80 at 96 kHz: 1/1200 s either way.
  const GstClockTime unit = gst_util_uint64_scale(GST_SECOND, 1, 1200);
  for (gsize i = 0; i < parsed.pts.size(); ++i) {
    EXPECT_NEAR(double(parsed.pts[i]), double(i * unit), 2.0) << i;
    EXPECT_NEAR(double(parsed.duration[i]), double(unit), 1.0) << i;
  }

  const std::string decoder = truehd ? "avdec_truehd" : "avdec_mlp";
  const std::string ours =
      media::gst_pcm_md5("filesrc location=" + path + " ! mlpparse ! " + decoder);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ours, media::ffmpeg_pcm_md5(path));
}

INSTANTIATE_TEST_SUITE_P(Streams, MlpParseStreamTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(48000, 96000),
                                            ::testing::Values(2, 6)));

TEST(MlpParseTest, Ac3FramesBetweenUnitsAreDroppedWithoutResync)
{
  const std::string thd = media::truehd(48000, 6);
  const std::string ac3 = media::ac3_448k(48000, 6);
  ASSERT_FALSE(thd.empty());
  ASSERT_FALSE(ac3.empty());
  const std::vector<Bytes> units = split_units(media::read_file(thd));
  const Bytes ac3_bytes = media::read_file(ac3);
  ASSERT_EQ(ac3_bytes.size() % 1792, 0u);
  ASSERT_EQ(mlp_ac3_frame_size(ac3_bytes.data()), 1792u);

  // Blu-ray order: each AC-3 frame (1536 samples) precedes the TrueHD units (40 samples)
  // whose start falls inside it.
  std::vector<Bytes> mixed;
  const gsize ac3_frames = ac3_bytes.size() / 1792;
  gsize next_ac3 = 0;
  for (gsize i = 0; i < units.size(); ++i) {
    while (next_ac3 < ac3_frames && next_ac3 * 1536 <= i * 40) {
      mixed.emplace_back(ac3_bytes.begin() + next_ac3 * 1792,
                         ac3_bytes.begin() + (next_ac3 + 1) * 1792);
      ++next_ac3;
    }
    mixed.push_back(units[i]);
  }
  ASSERT_GT(next_ac3, 10u);
  const Bytes stream = concat(mixed);

  // Odd chunk sizes make units and AC-3 frames straddle buffers.
  for (gsize chunk : {gsize(777), stream.size()}) {
    const ParsedStream parsed = parse(stream, chunk);
    EXPECT_EQ(parsed.units, units) << chunk;
    // Dropped AC-3 frames take no time from the TrueHD units.
    const GstClockTime unit = gst_util_uint64_scale(GST_SECOND, 1, 1200);
    ASSERT_FALSE(parsed.pts.empty());
    EXPECT_NEAR(double(parsed.pts.back()), double((parsed.pts.size() - 1) * unit), 2.0);
  }

  gchar *tmp = nullptr;
  const gint fd = g_file_open_tmp("mixed-XXXXXX.thd", &tmp, nullptr);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string mixed_path = tmp;
  g_free(tmp);
  ASSERT_TRUE(g_file_set_contents(mixed_path.c_str(), reinterpret_cast<const char *>(stream.data()),
                                  stream.size(), nullptr));
  const std::string ours =
      media::gst_pcm_md5("filesrc location=" + mixed_path + " ! mlpparse ! avdec_truehd");
  g_unlink(mixed_path.c_str());
  EXPECT_EQ(ours, media::ffmpeg_pcm_md5(thd));
}

TEST(MlpParseTest, JunkBeforeTheFirstMajorSyncIsSkipped)
{
  const std::string thd = media::truehd(48000, 2);
  ASSERT_FALSE(thd.empty());
  const Bytes stream = media::read_file(thd);
  const std::vector<Bytes> units = split_units(stream);
  Bytes junk4 = {0x12, 0x34, 0x56, 0x78};
  junk4.insert(junk4.end(), stream.begin(), stream.end());
  EXPECT_EQ(parse(junk4, junk4.size()).units, units);

  // A long run of junk with a false sync word at offset 2 whose unit start would lie before
  // the data: it must not swallow the real stream behind it.
  Bytes junk(3000, 0x55);
  junk[2] = 0xF8, junk[3] = 0x72, junk[4] = 0x6F, junk[5] = 0xBA;
  junk.insert(junk.end(), stream.begin(), stream.end());
  EXPECT_EQ(parse(junk, junk.size()).units, units);
}

TEST(MlpParseTest, CorruptUnitCostsOnlyTheUnitsUpToTheNextMajorSync)
{
  const std::string thd = media::truehd(48000, 2);
  ASSERT_FALSE(thd.empty());
  const Bytes stream = media::read_file(thd);
  const std::vector<Bytes> units = split_units(stream);
  // Find a unit without major sync with a major sync unit some units later.
  gsize victim = 0, next_sync = 0;
  auto is_major = [](const Bytes &u) { return u.size() >= 8 && u[4] == 0xF8 && u[5] == 0x72; };
  for (gsize i = 1; i < units.size() && !next_sync; ++i) {
    if (!victim && !is_major(units[i]) && i > 2) victim = i;
    if (victim && i > victim && is_major(units[i])) next_sync = i;
  }
  ASSERT_TRUE(victim && next_sync) << "the stream has several major syncs";
  std::vector<Bytes> broken = units;
  broken[victim][2] ^= 0x10;  // breaks the nibble parity of the header
  const ParsedStream parsed = parse(concat(broken), 1000);
  std::vector<Bytes> expected(units.begin(), units.begin() + victim);
  expected.insert(expected.end(), units.begin() + next_sync, units.end());
  EXPECT_EQ(parsed.units, expected);
}

}  // namespace
