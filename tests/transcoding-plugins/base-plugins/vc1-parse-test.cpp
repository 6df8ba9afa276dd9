#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;
namespace v = testsupport::vc1_stream;
using v::Coding, v::Picture;

constexpr const char *kSinkCaps = "video/x-wmv,wmvversion=3,format=WVC1";

// A frame as it leaves the parser (key frames carry the headers in front), 'I', 'P' or 'B'.
struct Frame { Bytes out; char type; };

// Input bytes and the frames expected out of them; `extra` is the expected codec data.
struct Stream {
  v::SequenceHeader seq;
  v::EntryPoint ep;
  Bytes bytes, extra;
  std::vector<Frame> frames;
  Bytes headers() const { return v::sequence_header(seq) + v::entry_point(seq, ep); }
  void add(const v::FrameSpec &spec, const Bytes &more = {}) {
    const bool field = spec.coding == Coding::kFieldInterlace && seq.interlace;
    const bool key = field ? spec.fptype <= 2 : spec.type == Picture::kI;
    const bool b = field ? spec.fptype >= 4 : spec.type == Picture::kB || spec.type == Picture::kBI;
    const Bytes body = v::frame(seq, ep, spec) + more;
    if (key && !frames.empty()) append(bytes, headers());
    append(bytes, body);
    frames.push_back({key ? headers() + body : body, key ? 'I' : b ? 'B' : 'P'});
  }
};

// 96x64 shown 128x64 (4/3 wide pixels), 25/1.
v::SequenceHeader
pal_sequence(bool interlace = false)
{
  return {.width = 96, .height = 64, .interlace = interlace, .display_ext = true,
          .display_width = 128, .display_height = 64, .framerate_flag = true};
}

// Headers, then `types` as progressive frames; headers repeat before every later I frame.
Stream
make_stream(const std::vector<Picture> &types, const v::SequenceHeader &seq = pal_sequence(),
            const v::EntryPoint &ep = {})
{
  Stream s{seq, ep, {}, {}, {}};
  s.bytes = s.extra = s.headers();
  for (size_t i = 0; i < types.size(); ++i)
    s.add({.type = types[i], .payload = 30 + 7 * i, .seed = static_cast<guint8>(i + 1)});
  return s;
}

// `a`, then `b` with `stuffing` behind its entry point; the codec data stays `a`'s unless
// `changes`.
Stream
join(const Stream &a, const Stream &b, const Bytes &stuffing, bool changes)
{
  Stream s = a;
  const size_t n = b.headers().size();
  const Bytes lead = b.headers() + stuffing;
  s.bytes = a.bytes + lead + Bytes(b.bytes.begin() + n, b.bytes.end());
  s.frames.insert(s.frames.end(), b.frames.begin(), b.frames.end());
  Bytes &first = s.frames[a.frames.size()].out;
  first = lead + Bytes(first.begin() + n, first.end());
  if (changes) s.extra = b.headers();
  return s;
}

// Every kind of unit: field pictures with their second field, slices, user data,
// emulation-prevented payloads, all picture types (`fields` false: frame pictures only).
Stream
rich_stream(bool fields = true)
{
  Stream s{pal_sequence(true), {.refdist_flag = true}, {}, {}, {}};
  s.bytes = s.extra = s.headers();
  const std::tuple<Coding, Picture, guint> pics[] = {
      {Coding::kFieldInterlace, Picture::kI, 1}, {Coding::kProgressive, Picture::kP, 0},
      {Coding::kFrameInterlace, Picture::kB, 0}, {Coding::kFieldInterlace, Picture::kP, 3},
      {Coding::kFieldInterlace, Picture::kB, 4}, {Coding::kProgressive, Picture::kI, 0},
      {Coding::kFrameInterlace, Picture::kP, 0}, {Coding::kProgressive, Picture::kBI, 0},
      {Coding::kFrameInterlace, Picture::kI, 0}, {Coding::kProgressive, Picture::kSkipped, 0},
      {Coding::kFieldInterlace, Picture::kI, 2}, {Coding::kFieldInterlace, Picture::kB, 7},
  };
  for (size_t i = 0; i < std::size(pics); ++i) {
    auto [coding, type, fptype] = pics[i];
    if (!fields && coding == Coding::kFieldInterlace) coding = Coding::kProgressive;
    Bytes more = i % 4 == 2 ? v::user_data(0x1D) : Bytes{};
    if (coding == Coding::kFieldInterlace) more = more + v::field(30, i) + v::user_data(0x1C);
    if (i % 3 == 0) more = more + v::slice(1) + v::user_data(0x1B) + v::slice(2);
    s.add({coding, type, fptype, 20 + 11 * i, static_cast<guint8>(i + 3), i % 3 == 1}, more);
  }
  return s;
}

// vc1parse2 over `bytes` in pieces of `chunk` after a segment of `format` from `start`, to
// EOS; in TIME the first piece carries `start` as its PTS, a raw file (BYTES) carries none.
Harness
run(const Bytes &bytes, size_t chunk, const std::string &caps = kSinkCaps,
    GstFormat format = GST_FORMAT_TIME, GstClockTime start = 0)
{
  Harness h = make_harness("vc1parse2", caps.c_str());
  GstSegment segment;
  gst_segment_init(&segment, format);
  segment.start = segment.time = start;
  gst_harness_push_event(h.get(), gst_event_new_segment(&segment));
  // Until a buffer holds a start code the element passes buffers through.
  for (size_t pos = 0, n = std::max<size_t>(chunk, 4); pos < bytes.size(); pos += n, n = chunk) {
    const Bytes piece(bytes.begin() + pos, bytes.begin() + std::min(pos + n, bytes.size()));
    const GstClockTime pts = pos || format != GST_FORMAT_TIME ? GST_CLOCK_TIME_NONE : start;
    EXPECT_EQ(gst_harness_push(h.get(), make_buffer(piece, pts)), GST_FLOW_OK);
  }
  gst_harness_push_event(h.get(), gst_event_new_eos());
  return h;
}

struct StreamCase {
  const char *name;
  Stream s;
  std::string caps;            // the last caps without codec data, after kSinkCaps
  size_t caps_events = 1;      // a new caps event only for a real change of the headers
  GstClockTime step = ms(40);  // DTS interpolation; 0: none
  std::string sink_caps = kSinkCaps;
  std::vector<size_t> chunks = {1, 7, 64};
  GstFormat format = GST_FORMAT_TIME;
  GstClockTime start = 0;
};

std::vector<StreamCase>
stream_cases()
{
  // An I and a P frame under a sequence header; `nr` < 0: no frame rate, `dr` 0: FRAMERATEEXP.
  auto two = [](guint w, guint h, guint dw, guint dh, int nr, guint dr, guint ar = 0) {
    return make_stream({Picture::kI, Picture::kP},
                       {.width = w, .height = h, .display_ext = dw != 0, .display_width = dw,
                        .display_height = dh, .aspect_ratio_flag = ar != 0, .aspect_ratio = ar,
                        .aspect_width = 3, .aspect_height = 3, .framerate_flag = nr >= 0,
                        .framerate_ind = dr == 0, .frameratenr = guint(nr), .frameratedr = dr,
                        .framerate_exp = guint(nr)});
  };
  const Stream a = two(96, 64, 128, 64, 2, 1);
  Stream waits = a, asf = make_stream({Picture::kI, Picture::kP, Picture::kB}, pal_sequence(true));
  waits.bytes = v::frame(a.seq, {}, {}) + v::slice() + v::sequence_header(a.seq) +
                v::frame(a.seq, {}, {}) + a.bytes;
  std::string hex = std::string(kSinkCaps) + ",codec_data=(buffer)2b";
  for (guint8 b : asf.headers()) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  asf.bytes.erase(asf.bytes.begin(), asf.bytes.begin() + asf.headers().size());
  const std::string pal = "width=96,height=64,framerate=25/1,pixel-aspect-ratio=4/3,interlaced=";
  const std::string hd = "width=192,height=108,", passed_caps = ",width=320,height=240";
  const Stream passed{{}, {}, {1, 2, 3, 0, 0, 2, 0, 0, 0, 1, 9, 9}, {},
                      {{{1, 2, 3, 0, 0, 2, 0, 0}, 'I'}, {{0, 1, 9, 9}, 'I'}}};
  return {
      {"gop", make_stream({Picture::kI, Picture::kP, Picture::kB, Picture::kP, Picture::kB,
                           Picture::kI, Picture::kP, Picture::kBI, Picture::kSkipped}),
       pal + "false"},
      {"every_unit", rich_stream(), pal + "true"},
      {"flushing_byte", join(a, a, {0x80}, false), pal + "false"},
      {"zero_stuffing_open_gop",
       join(a, make_stream({Picture::kI}, a.seq, {.closed_entry = false}), {0, 0}, false),
       pal + "false"},
      {"loop_filter", join(a, make_stream({Picture::kI}, a.seq, {.loopfilter = true}), {}, true),
       pal + "false", 2},
      {"new_sequence", join(a, two(160, 64, 160, 64, 2, 1), {0x80}, true),
       "width=160,height=64,framerate=25/1,pixel-aspect-ratio=1/1,interlaced=false", 2},
      {"no_display_extension", two(64, 64, 0, 0, -1, 1), "width=64,height=64,interlaced=false",
       1, 0},
      {"ntsc", two(192, 108, 192, 108, 2, 2),
       hd + "framerate=25000/1001,pixel-aspect-ratio=1/1,interlaced=false", 1, 40'040'000},
      // The explicit aspect-ratio field is only logged: the display size decides.
      {"explicit", two(192, 108, 256, 108, 799, 0, 15),
       hd + "framerate=25/1,pixel-aspect-ratio=4/3,interlaced=false"},
      {"reserved_rate", two(192, 108, 192, 108, 9, 1, 3),
       hd + "pixel-aspect-ratio=1/1,interlaced=false", 1, 0},
      // A 2x2 picture codes its size as zero bits: an escape byte sits inside the header.
      {"escaped", two(2, 2, 4, 2, 7, 2),
       "width=2,height=2,framerate=72000/1001,pixel-aspect-ratio=2/1,interlaced=false", 1,
       13'902'000},
      {"waits_for_headers", waits, pal + "false", 1, ms(40), kSinkCaps, {SIZE_MAX}},
      {"asf_codec_data", asf, pal + "true", 1, ms(40), hex, {SIZE_MAX}},
      {"time_segment", a, pal + "false", 1, ms(40), kSinkCaps, {64}, GST_FORMAT_TIME, ms(1000)},
      // A raw file: no times at all; the first DTS is zero.
      {"bytes_segment", a, pal + "false", 1, ms(40), kSinkCaps, {64}, GST_FORMAT_BYTES},
      // Buffers without start codes pass untouched, under the upstream caps.
      {"pass_through", passed, "width=320,height=240", 1, 0, kSinkCaps + passed_caps, {8}},
  };
}

class VC1ParseStreams : public ::testing::TestWithParam<StreamCase> {};

// Frames cut the same for any chunking, key frames with the headers, picture types, caps.
TEST_P(VC1ParseStreams, FramesCapsAndTimes)
{
  const StreamCase &c = GetParam();
  for (size_t chunk : c.chunks) {
    SCOPED_TRACE(chunk);
    Harness h = run(c.s.bytes, chunk, c.sink_caps, c.format, c.start);
    auto out = pull_all(h.get());
    ASSERT_EQ(out.size(), c.s.frames.size());
    const GstClockTime pts0 = c.format == GST_FORMAT_TIME ? c.start : GST_CLOCK_TIME_NONE;
    for (size_t i = 0; i < out.size(); ++i) {
      SCOPED_TRACE(i);
      GstBuffer *b = out[i].get();
      EXPECT_EQ(buffer_bytes(b), c.s.frames[i].out);
      EXPECT_EQ(!GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT), c.s.frames[i].type == 'I');
      EXPECT_EQ(GST_BUFFER_DTS(b), c.step || !i ? c.start + c.step * i : GST_CLOCK_TIME_NONE);
      // In a stream with B frames only B frames take their PTS from the DTS.
      EXPECT_EQ(GST_BUFFER_PTS(b),
                !i ? pts0 : c.s.frames[i].type == 'B' ? GST_BUFFER_DTS(b) : GST_CLOCK_TIME_NONE);
    }
    // Events: stream-start, caps, segment (in TIME, whatever came in), more caps only for a
    // real change of the headers.
    std::vector<GstEventType> types;
    std::vector<Ref<GstCaps>> caps;
    for (auto &e : pull_all_events(h.get())) {
      GstCaps *cp = nullptr;
      const GstSegment *seg = nullptr;  // what the event holds, if it is of the type
      types.push_back(GST_EVENT_TYPE(e.get()));
      if (types.back() == GST_EVENT_CAPS) gst_event_parse_caps(e.get(), &cp);
      if (types.back() == GST_EVENT_SEGMENT) gst_event_parse_segment(e.get(), &seg);
      if (cp) caps.push_back(gstref::retain(cp));
      EXPECT_TRUE(!seg || (seg->format == GST_FORMAT_TIME && seg->start == c.start));
    }
    ASSERT_EQ(caps.size(), c.caps_events);
    EXPECT_EQ(
        std::vector<GstEventType>(types.begin(), types.begin() + 3),
        (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT}));
    Ref<GstCaps> plain = gstref::adopt(gst_caps_copy(caps.back().get()));
    GstStructure *st = gst_caps_get_structure(plain.get(), 0);
    const GValue *codec_data = gst_structure_get_value(st, "codec_data");
    EXPECT_EQ(codec_data ? buffer_bytes(gst_value_get_buffer(codec_data)) : Bytes{},
              c.s.extra.empty() ? Bytes{} : Bytes{0} + c.s.extra);
    gst_structure_remove_field(st, "codec_data");
    Ref<GstCaps> expected = gstref::adopt(
        gst_caps_from_string((std::string(kSinkCaps) + ",parsed=true," + c.caps).c_str()));
    EXPECT_TRUE(gst_caps_is_equal(plain.get(), expected.get()));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VC1ParseStreams, ::testing::ValuesIn(stream_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(VC1Parse, LeadingDeltaFrames_DroppedAtStartAndAfterFlushAtMostAHundred)
{
  const Stream s = make_stream(
      {Picture::kP, Picture::kB, Picture::kI, Picture::kP, Picture::kP, Picture::kI, Picture::kP});
  Harness h = make_harness("vc1parse2", kSinkCaps);
  auto push = [&](size_t i, GstClockTime pts) {
    const Bytes piece = i ? s.frames[i].out : s.headers() + s.frames[0].out;
    EXPECT_EQ(gst_harness_push(h.get(), make_buffer(piece, pts)), GST_FLOW_OK);
  };
  for (size_t i = 0; i < 7; ++i) push(i, ms(100) * i);
  for (GstEvent *e : {gst_event_new_flush_start(), gst_event_new_flush_stop(TRUE),
                      time_segment_event(ms(1000))})
    gst_harness_push_event(h.get(), e);
  // P, I, P again; the segment start gives the first DTS.
  for (size_t i = 4; i < 7; ++i) push(i, ms(1000) + ms(100) * i);
  gst_harness_push_event(h.get(), gst_event_new_eos());
  // I P P before the flush (5 and 6 were still inside and lose their time), then I P: the
  // leading P after the flush is dropped again.
  auto out = pull_all(h.get());
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(buffer_bytes(out[i].get()), s.frames[i + 2].out);
    EXPECT_EQ(GST_BUFFER_PTS(out[i].get()), ms(100) * (i + 2) + (i < 3 ? 0 : ms(1000)));  // kept
  }
  EXPECT_EQ(GST_BUFFER_DTS(out[3].get()), ms(1040));
  // No more than a hundred are dropped over the element's life.
  const Stream deltas = make_stream(std::vector<Picture>(101, Picture::kP));
  out = pull_all(run(deltas.bytes, SIZE_MAX).get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(buffer_bytes(out[0].get()), deltas.frames[100].out);
}

TEST(VC1Parse, Chain_ErrorWithoutCaps)
{
  Harness h(gst_harness_new("vc1parse2"));
  gst_harness_push_event(h.get(), time_segment_event(0));
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(Bytes{0, 0, 1, 0x0F, 1, 2})), GST_FLOW_ERROR);
}

// Independent readers: the stock vc1parse cuts the same units into the same frames, FFmpeg
// finds the same key frames, avdec_vc1 opens from the codec data.
TEST(VC1Parse, Oracle_StockParserFfmpegAndAvdecAgree)
{
  if (!have_factory("vc1parse") || !have_factory("avdec_vc1") || !have_program("ffprobe"))
    GTEST_SKIP() << "no vc1parse, avdec_vc1 or ffprobe";
  const char *bdu = "video/x-wmv,wmvversion=3,format=WVC1,stream-format=bdu,header-format=none";
  for (bool fields : {true, false}) {  // FFmpeg makes a packet of each field
    const Stream s = rich_stream(fields);
    Harness h = run(s.bytes, 100), stock = make_harness("vc1parse", bdu, bdu);
    gst_harness_push(stock.get(), make_buffer(s.bytes, 0, GST_CLOCK_TIME_NONE, 0));
    gst_harness_push_event(stock.get(), gst_event_new_eos());
    // A frame: a frame unit (headers in front) and the field, slice and user-data units after.
    std::vector<Bytes> frames, mine;
    guint8 last = 0;
    for (auto &b : pull_all(stock.get())) {
      const Bytes unit = buffer_bytes(b.get());
      if (unit.at(3) == 0x0F || (unit[3] == 0x0D && last != 0x0E)) frames.emplace_back();
      append(frames.back(), unit);
      last = unit[3];
    }
    Bytes all;
    std::string keys;
    for (auto &b : pull_all(h.get())) {
      mine.push_back(buffer_bytes(b.get()));
      append(all, mine.back());
      keys += GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT) ? "_\n" : "K\n";
    }
    EXPECT_EQ(mine, frames);
    if (fields) continue;
    ASSERT_TRUE(g_file_set_contents("vc1parse2-oracle.vc1", (const gchar *)all.data(), all.size(),
                                    nullptr));
    // Only the key flags: FFmpeg moves slices behind a frame into the next packet.
    EXPECT_EQ(run_command("ffprobe -v error -f vc1 -show_entries packet=flags -of csv=p=0 "
                          "vc1parse2-oracle.vc1 | cut -c1")
                  .output,
              keys);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), 'K'), 4);
    // Caps are stored even when refused: the first buffer tells whether the codec opened.
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    Harness dec(gst_harness_new("avdec_vc1"));
    gst_harness_push_event(dec.get(), gst_event_new_stream_start("vc1"));
    gst_harness_push_event(dec.get(), gst_event_new_caps(caps.get()));
    gst_harness_push_event(dec.get(), time_segment_event(0));
    EXPECT_NE(gst_harness_push(dec.get(), make_buffer(mine[0])), GST_FLOW_NOT_NEGOTIATED);
  }
}

// Matroska clips by running time and refuses new caps: a BYTES segment passed on with timed
// buffers, or caps announced again for each copy of the headers, broke it.
TEST(VC1Parse, Matroska_TakesARawFile)
{
  const Stream a = make_stream({Picture::kI, Picture::kP, Picture::kB});
  const Stream s = join(join(a, a, {0x80}, false), a, {0, 0}, false);
  ASSERT_TRUE(g_file_set_contents("vc1parse2-raw.vc1", (const gchar *)s.bytes.data(),
                                  s.bytes.size(), nullptr));
  const PipelineResult r = run_pipeline(
      "filesrc location=vc1parse2-raw.vc1 ! video/x-wmv,wmvversion=3,format=WVC1 ! vc1parse2 ! "
      "matroskamux ! filesink location=vc1parse2-raw.mkv");
  EXPECT_TRUE(r.ok) << r.error;
  // Every frame arrives in the file.
  EXPECT_EQ(run_command("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                        "-of csv=p=0 vc1parse2-raw.mkv")
                .output,
            std::to_string(s.frames.size()) + "\n");
}

}  // namespace
