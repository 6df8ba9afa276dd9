#include "transcoding-plugins/base-plugins/vc1-parse.h"

#include <glib/gstdio.h>
#include <gst/check/gstharness.h>
#include <gst/codecparsers/gstvc1parser.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "transcoding-plugins/base-plugins/vc1-packetizer.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using namespace testsupport;
namespace v = testsupport::vc1_stream;
using v::Bytes;
using v::Coding;
using v::Picture;

constexpr const char *kSinkCaps = "video/x-wmv,wmvversion=3,format=WVC1";

// What a frame should look like on output: its own units (frame, fields, slices, user data) and
// whether it is a key frame.
struct ExpectedFrame {
  Bytes body;
  bool key;
};

struct Stream {
  v::SequenceHeader seq;
  v::EntryPoint ep;
  Bytes bytes;
  std::vector<ExpectedFrame> frames;
  Bytes headers() const {
    Bytes h = v::sequence_header(seq);
    v::append(h, v::entry_point(seq, ep));
    return h;
  }
};

// Sequence header and entry point, then `types` as progressive frames (headers again before
// every I frame but the first when `repeat_headers`).
Stream
progressive_stream(const std::vector<Picture> &types, bool repeat_headers = true,
                   v::SequenceHeader seq = {})
{
  Stream s;
  s.seq = seq;
  s.bytes = s.headers();
  guint8 seed = 1;
  for (size_t i = 0; i < types.size(); ++i) {
    if (repeat_headers && i > 0 && types[i] == Picture::kI) v::append(s.bytes, s.headers());
    v::FrameSpec spec;
    spec.type = types[i];
    spec.seed = seed++;
    spec.payload = 30 + 7 * i;
    ExpectedFrame f{v::frame(s.seq, s.ep, spec), types[i] == Picture::kI};
    v::append(s.bytes, f.body);
    s.frames.push_back(std::move(f));
  }
  return s;
}

const std::vector<Picture> kGop = {Picture::kI, Picture::kP,  Picture::kB,
                                   Picture::kP, Picture::kB,  Picture::kI,
                                   Picture::kP, Picture::kBI, Picture::kSkipped};

// Output bytes expected for a frame: key frames carry the headers in front.
Bytes
expected_output(const Stream &s, const ExpectedFrame &f)
{
  Bytes out = f.key ? s.headers() : Bytes{};
  v::append(out, f.body);
  return out;
}

// ------------------------------------------------------------------------------------------
// Packetizer
// ------------------------------------------------------------------------------------------

struct OutFrame {
  Bytes bytes;
  uint32_t flags;
  int64_t pts;
  int64_t dts;
};

class Vc1PacketizerTest : public ::testing::Test {
 protected:
  void SetUp() override { p_ = vc1::open_packetizer(nullptr, 0); }
  void TearDown() override { vc1::close_packetizer(p_); }

  static vc1::Block *make_block(const guint8 *data, size_t size, int64_t pts = 0, int64_t dts = 0,
                                uint32_t flags = 0) {
    vc1::Block *b = vc1::block_Alloc(size);
    if (size) std::memcpy(b->buffer, data, size);
    b->pts = pts;
    b->dts = dts;
    b->flags = flags;
    return b;
  }
  void collect(vc1::Block *frame) {
    while (frame) {
      out_.push_back({Bytes(frame->buffer, frame->buffer + frame->buffer_size), frame->flags,
                      frame->pts, frame->dts});
      vc1::block_Release(frame);
      frame = vc1::Packetize(p_, nullptr);
    }
  }
  void feed(const Bytes &bytes, int64_t pts = 0, int64_t dts = 0, uint32_t flags = 0) {
    vc1::Block *b = make_block(bytes.data(), bytes.size(), pts, dts, flags);
    collect(vc1::Packetize(p_, &b));
    EXPECT_EQ(b, nullptr);
  }
  void drain() {
    while (vc1::Block *frame = vc1::packetizer_drain(p_)) collect(frame);
  }
  const vc1::EsFormat &format() const { return vc1::packetizer_format(p_); }

  vc1::Packetizer *p_ = nullptr;
  std::vector<OutFrame> out_;
};

TEST_F(Vc1PacketizerTest, Blocks_AlignedWithHeadroomAndGathered)
{
  for (size_t size : {0, 1, 31, 32, 1000}) {
    vc1::Block *b = vc1::block_Alloc(size);
    ASSERT_NE(b, nullptr);
    const auto payload = reinterpret_cast<uintptr_t>(b->buffer);
    const auto behind_header = reinterpret_cast<uintptr_t>(b + 1);
    EXPECT_EQ(payload % 32, 0u);
    EXPECT_GE(payload - behind_header, 32u);
    EXPECT_LT(payload - behind_header, 64u);
    EXPECT_LE(payload + size, reinterpret_cast<uintptr_t>(b->start) + b->area_size);
    vc1::block_Release(b);
  }
  EXPECT_EQ(vc1::block_Alloc(SIZE_MAX - 100), nullptr);

  const Bytes a = {1, 2, 3}, c = {4, 5};
  vc1::Block *first = make_block(a.data(), a.size(), 10, 20, vc1::kBlockFlagTypeI);
  first->length = 5;
  first->next = make_block(c.data(), c.size(), 30, 40, vc1::kBlockFlagTypeP);
  first->next->length = 7;
  vc1::Block *g = vc1::block_ChainGather(first);
  EXPECT_EQ(Bytes(g->buffer, g->buffer + g->buffer_size), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(g->flags, vc1::kBlockFlagTypeI);
  EXPECT_EQ(g->pts, 10);
  EXPECT_EQ(g->dts, 20);
  EXPECT_EQ(g->length, 12);
  vc1::block_Release(g);
}

TEST_F(Vc1PacketizerTest, BlockRelease_RefusesAMovedArea)
{
  vc1::Block *b = vc1::block_Alloc(16);
  uint8_t *start = b->start;
  b->start += 1;
  {
    ExpectGLog expect(G_LOG_LEVEL_CRITICAL, "block->p_start == (unsigned char *)(block + 1)");
    vc1::block_Release(b);
    EXPECT_EQ(expect.count(), 1);
  }
  b->start = start;
  vc1::block_Release(b);
}

TEST_F(Vc1PacketizerTest, DecodeRIDU_RemovesEmulationPreventionWithinBounds)
{
  auto decode = [](const Bytes &src, size_t room) {
    Bytes dst(room);
    size_t size = room;
    vc1::DecodeRIDU(dst.data(), &size, src.data(), src.size());
    dst.resize(size);
    return dst;
  };
  EXPECT_EQ(decode({0xAA, 0, 0, 3, 1, 0, 0, 3, 0, 0, 3}, 16), (Bytes{0xAA, 0, 0, 1, 0, 0, 0, 0}));
  // A trailing 00 00 is copied as is.
  EXPECT_EQ(decode({5, 0, 0}, 16), (Bytes{5, 0, 0}));
  // The destination bounds the copy, and an escape needs two bytes of room.
  EXPECT_EQ(decode({1, 2, 3, 4, 5}, 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(decode({1, 0, 0, 3, 7}, 2), (Bytes{1, 0}));
  EXPECT_EQ(decode({}, 8), Bytes{});
}

TEST_F(Vc1PacketizerTest, SequenceHeader_SizeAspectRatioAndFrameRate)
{
  struct Case {
    v::SequenceHeader seq;
    uint32_t sar_num, sar_den, fps_num, fps_den;
  };
  std::vector<Case> cases;
  v::SequenceHeader hd;
  hd.width = 1920;                    // MAX_CODED_WIDTH 959
  hd.height = 1080;                   // MAX_CODED_HEIGHT 539
  cases.push_back({hd, 0, 0, 0, 0});  // no display extension: neither PAR nor frame rate
  v::SequenceHeader ntsc = hd;
  ntsc.display_ext = true;
  ntsc.display_width = 1920;
  ntsc.display_height = 1080;
  ntsc.framerate_flag = true;
  ntsc.frameratenr = 2;
  ntsc.frameratedr = 2;
  cases.push_back({ntsc, 1, 1, 25000, 1001});
  v::SequenceHeader anamorphic;
  anamorphic.width = 720;
  anamorphic.height = 576;
  anamorphic.display_ext = true;
  anamorphic.display_width = 1024;
  anamorphic.display_height = 576;
  // The aspect-ratio field is only logged: the display size decides.
  anamorphic.aspect_ratio_flag = true;
  anamorphic.aspect_ratio = 15;
  anamorphic.aspect_width = 3;
  anamorphic.aspect_height = 2;
  anamorphic.framerate_flag = true;
  anamorphic.framerate_ind = true;
  anamorphic.framerate_exp = 799;
  cases.push_back({anamorphic, 64, 45, 25, 1});
  v::SequenceHeader unknown_rate = anamorphic;
  unknown_rate.aspect_ratio = 3;
  unknown_rate.framerate_ind = false;
  unknown_rate.frameratenr = 9;  // reserved
  cases.push_back({unknown_rate, 64, 45, 0, 0});
  // A 2x2 picture codes its size as 24 zero bits: the header needs an emulation-prevention
  // byte, which must not reach the fields behind it.
  v::SequenceHeader tiny;
  tiny.width = 2;
  tiny.height = 2;
  tiny.display_ext = true;
  tiny.display_width = 4;
  tiny.display_height = 2;
  tiny.framerate_flag = true;
  tiny.frameratenr = 7;
  tiny.frameratedr = 2;
  cases.push_back({tiny, 2, 1, 72000, 1001});

  for (const Case &c : cases) {
    const Bytes seq = v::sequence_header(c.seq);
    if (c.seq.width == 2) {
      const Bytes escape = {0, 0, 3};
      ASSERT_NE(std::search(seq.begin(), seq.end(), escape.begin(), escape.end()), seq.end());
    }
    // The builder's header must be valid for an independent reader (which expects the
    // escapes removed).
    const Bytes rbdu = nal::remove_emulation_prevention(seq.data() + 4, seq.size() - 4);
    GstVC1SeqHdr ref{};
    ASSERT_EQ(gst_vc1_parse_sequence_header(rbdu.data(), rbdu.size(), &ref), GST_VC1_PARSER_OK);
    ASSERT_EQ(ref.advanced.max_coded_width, c.seq.width);
    ASSERT_EQ(ref.advanced.display_ext, c.seq.display_ext);

    vc1::Packetizer *p = vc1::open_packetizer(nullptr, 0);
    Bytes data = seq;
    v::append(data, v::entry_point(c.seq));
    vc1::Block *b = make_block(data.data(), data.size());
    EXPECT_EQ(vc1::Packetize(p, &b), nullptr);
    const vc1::EsFormat &f = vc1::packetizer_format(p);
    EXPECT_EQ(f.width, c.seq.width);
    EXPECT_EQ(f.height, c.seq.height);
    EXPECT_EQ(f.sar_num, c.sar_num);
    EXPECT_EQ(f.sar_den, c.sar_den);
    EXPECT_EQ(f.fps_num, c.fps_num);
    EXPECT_EQ(f.fps_den, c.fps_den);
    // The entry point is still waiting for its end: no extra data before it is cut.
    EXPECT_EQ(f.extra_size, 0);
    vc1::close_packetizer(p);
  }
}

TEST_F(Vc1PacketizerTest, PictureTypes_AllCodingModes)
{
  struct Case {
    Coding coding;
    Picture type;
    guint fptype;
    uint32_t flag;
  };
  const std::vector<Case> cases = {
      {Coding::kProgressive, Picture::kI, 0, vc1::kBlockFlagTypeI},
      {Coding::kProgressive, Picture::kP, 0, vc1::kBlockFlagTypeP},
      {Coding::kProgressive, Picture::kB, 0, vc1::kBlockFlagTypeB},
      {Coding::kProgressive, Picture::kBI, 0, vc1::kBlockFlagTypeB},
      {Coding::kProgressive, Picture::kSkipped, 0, vc1::kBlockFlagTypeP},
      {Coding::kFrameInterlace, Picture::kI, 0, vc1::kBlockFlagTypeI},
      {Coding::kFrameInterlace, Picture::kP, 0, vc1::kBlockFlagTypeP},
      {Coding::kFrameInterlace, Picture::kB, 0, vc1::kBlockFlagTypeB},
      {Coding::kFieldInterlace, Picture::kI, 0, vc1::kBlockFlagTypeI},
      {Coding::kFieldInterlace, Picture::kI, 1, vc1::kBlockFlagTypeI},
      {Coding::kFieldInterlace, Picture::kI, 2, vc1::kBlockFlagTypeI},
      {Coding::kFieldInterlace, Picture::kP, 3, vc1::kBlockFlagTypeP},
      {Coding::kFieldInterlace, Picture::kB, 4, vc1::kBlockFlagTypeB},
      {Coding::kFieldInterlace, Picture::kB, 7, vc1::kBlockFlagTypeB},
  };
  v::SequenceHeader seq;
  seq.interlace = true;
  seq.display_ext = true;
  seq.display_width = 64;
  seq.display_height = 64;
  seq.framerate_flag = true;
  Bytes data = v::sequence_header(seq);
  v::append(data, v::entry_point(seq));
  for (const Case &c : cases) {
    v::FrameSpec spec;
    spec.coding = c.coding;
    spec.type = c.type;
    spec.fptype = c.fptype;
    v::append(data, v::frame(seq, {}, spec));
    if (c.coding == Coding::kFieldInterlace) v::append(data, v::field());
  }
  feed(data, 0, 1000);
  drain();
  ASSERT_EQ(out_.size(), cases.size());
  EXPECT_TRUE(packetizer_interlaced(p_));
  const Bytes headers = [&] {
    Bytes h = v::sequence_header(seq);
    v::append(h, v::entry_point(seq));
    return h;
  }();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out_[i].flags & vc1::kBlockFlagTypeMask, cases[i].flag);
    // Key frames start with the sequence header and entry point, others with the frame.
    const bool key = cases[i].flag == vc1::kBlockFlagTypeI;
    ASSERT_GE(out_[i].bytes.size(), headers.size());
    EXPECT_EQ(std::equal(headers.begin(), headers.end(), out_[i].bytes.begin()), key);
    EXPECT_EQ(out_[i].bytes[3], key ? 0x0F : 0x0D);
  }
}

// A main-profile sequence header (STRUCT_C, SMPTE 421M Annex J) behind a start code; frames
// then use the simple/main picture type code.
TEST_F(Vc1PacketizerTest, PictureTypes_MainProfile)
{
  auto struct_c = [](bool rangered, guint maxbframes, bool finterp) {
    GstBitWriter w;
    gst_bit_writer_init(&w);
    gst_bit_writer_put_bits_uint32(&w, 4, 4);  // PROFILE main
    gst_bit_writer_put_bits_uint32(&w, 0, 3 + 5 + 1 + 1 + 1 + 1 + 1 + 1 + 2 + 1 + 1 + 1 + 1);
    gst_bit_writer_put_bits_uint32(&w, rangered, 1);
    gst_bit_writer_put_bits_uint32(&w, maxbframes, 3);
    gst_bit_writer_put_bits_uint32(&w, 0, 2);
    gst_bit_writer_put_bits_uint32(&w, finterp, 1);
    gst_bit_writer_put_bits_uint32(&w, 1, 1);
    const guint8 *d = gst_bit_writer_get_data(&w);
    Bytes out = {0, 0, 1, 0x0F, d[0], d[1], d[2], d[3]};
    gst_bit_writer_reset(&w);
    return out;
  };
  // Frame header bits: [INTERPFRM] FRMCNT(2) [RANGEREDFRM] PTYPE.
  auto frame = [](guint8 first_byte) { return Bytes{0, 0, 1, 0x0D, first_byte, 0x55, 0x55}; };
  Bytes data = struct_c(true, 2, true);
  v::append(data, v::entry_point({}));
  // 1 bit INTERPFRM, 2 FRMCNT, 1 RANGEREDFRM, then PTYPE.
  v::append(data, frame(0b0000'1000));  // P
  v::append(data, frame(0b0000'0100));  // 01: I
  v::append(data, frame(0b0000'0000));  // 00: B
  v::append(data, struct_c(false, 0, false));
  v::append(data, frame(0b0000'0000));  // FRMCNT then 0: I without B frames
  v::append(data, frame(0b0010'0000));  // 1: P
  feed(data, 0, 1000);
  drain();
  ASSERT_EQ(out_.size(), 5u);
  const std::vector<uint32_t> expected = {vc1::kBlockFlagTypeP, vc1::kBlockFlagTypeI,
                                          vc1::kBlockFlagTypeB, vc1::kBlockFlagTypeI,
                                          vc1::kBlockFlagTypeP};
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(out_[i].flags & vc1::kBlockFlagTypeMask, expected[i]) << i;
  EXPECT_EQ(format().width, 0u);
}

TEST_F(Vc1PacketizerTest, Splitting_SameFramesForAnyChunking)
{
  v::SequenceHeader seq;
  seq.display_ext = true;
  seq.display_width = 64;
  seq.display_height = 64;
  seq.framerate_flag = true;
  Stream s = progressive_stream(kGop, true, seq);
  // Fields, slices, user data and emulation-prevented payloads stay with their frame.
  v::FrameSpec spec;
  spec.type = Picture::kP;
  spec.emulation = true;
  ExpectedFrame extra{v::frame(s.seq, s.ep, spec), false};
  v::append(extra.body, v::slice(2));
  v::append(extra.body, v::user_data(0x1B));
  v::append(extra.body, v::user_data(0x1D));
  v::append(extra.body, v::end_of_sequence());
  v::append(s.bytes, extra.body);
  s.frames.push_back(extra);

  std::mt19937 rng(42);
  for (size_t chunk : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}}) {
    SCOPED_TRACE(chunk);
    vc1::close_packetizer(p_);
    p_ = vc1::open_packetizer(nullptr, 0);
    out_.clear();
    size_t pos = 0;
    while (pos < s.bytes.size()) {
      // Chunk 0 stands for random sizes.
      const size_t n = std::min(chunk ? chunk : 1 + rng() % 50, s.bytes.size() - pos);
      feed(Bytes(s.bytes.begin() + pos, s.bytes.begin() + pos + n), 0, pos == 0 ? 1000 : 0);
      pos += n;
    }
    // Everything but the last frame is out before the end of the stream.
    EXPECT_EQ(out_.size(), s.frames.size() - 1);
    drain();
    ASSERT_EQ(out_.size(), s.frames.size());
    for (size_t i = 0; i < s.frames.size(); ++i) {
      EXPECT_EQ(out_[i].bytes, expected_output(s, s.frames[i])) << "frame " << i;
      EXPECT_EQ((out_[i].flags & vc1::kBlockFlagTypeI) != 0, s.frames[i].key) << i;
    }
  }
}

TEST_F(Vc1PacketizerTest, Parsing_WaitsForSequenceHeaderAndEntryPoint)
{
  v::SequenceHeader seq;
  v::FrameSpec spec;
  Bytes data = v::frame(seq, {}, spec);
  v::append(data, v::slice());
  v::append(data, v::sequence_header(seq));
  spec.seed = 5;
  v::append(data, v::frame(seq, {}, spec));  // no entry point yet
  v::append(data, v::entry_point(seq));
  spec.seed = 6;
  const Bytes first = v::frame(seq, {}, spec);
  v::append(data, first);
  feed(data, 0, 1000);
  drain();
  ASSERT_EQ(out_.size(), 1u);
  EXPECT_EQ(Bytes(out_[0].bytes.end() - first.size(), out_[0].bytes.end()), first);
  EXPECT_EQ(out_[0].dts, 1000);
}

TEST_F(Vc1PacketizerTest, Timestamps_InterpolatedOneFrameApart)
{
  v::SequenceHeader seq;
  seq.display_ext = true;
  seq.display_width = 64;
  seq.display_height = 64;
  seq.framerate_flag = true;  // 25 fps
  const Stream s =
      progressive_stream({Picture::kI, Picture::kP, Picture::kB, Picture::kP}, false, seq);
  // Frames before the first DTS are dropped.
  feed(s.headers());
  feed(s.frames[0].body, 0, 0);
  const int64_t d = 5'000'000;
  feed(s.frames[1].body, 0, d);
  feed(s.frames[2].body);
  feed(s.frames[3].body);
  drain();
  ASSERT_EQ(out_.size(), 3u);
  EXPECT_EQ(out_[0].dts, d);
  EXPECT_EQ(out_[1].dts, d + 40000);
  EXPECT_EQ(out_[2].dts, d + 80000);
  // Only B frames take their PTS from the DTS in a stream that has B frames.
  EXPECT_EQ(out_[0].pts, 0);
  EXPECT_EQ(out_[1].pts, d + 40000);
  EXPECT_EQ(out_[2].pts, 0);
}

TEST_F(Vc1PacketizerTest, Timestamps_NoInterpolationWithoutFrameRate)
{
  const Stream s = progressive_stream({Picture::kI, Picture::kP, Picture::kP}, false);
  feed(s.headers());
  feed(s.frames[0].body, 2000, 1000);
  feed(s.frames[1].body);
  feed(s.frames[2].body, 0, 3000);
  drain();
  ASSERT_EQ(out_.size(), 3u);
  EXPECT_EQ(out_[0].dts, 1000);
  EXPECT_EQ(out_[0].pts, 2000);
  EXPECT_EQ(out_[1].dts, 0);
  EXPECT_EQ(out_[2].dts, 3000);
}

TEST_F(Vc1PacketizerTest, Flags_CorruptedDropsDataDiscontinuityOnlyTimestamps)
{
  const Stream s = progressive_stream({Picture::kI, Picture::kP, Picture::kP, Picture::kP}, false);
  // One frame a block: a unit is cut when the next start code arrives and a frame completes
  // when the next frame's unit is parsed, so output trails by two blocks.
  feed(s.headers());
  feed(s.frames[0].body, 0, 1000);
  feed(s.frames[1].body, 0, 2000);
  feed(s.frames[2].body, 0, 3000);
  ASSERT_EQ(out_.size(), 1u);
  EXPECT_EQ(out_[0].dts, 1000);
  // An empty discontinuous block forgets the timestamps, not the bytes: frame 1, assembled
  // before it, has lost its DTS and is dropped; frame 2 keeps its own.
  feed({}, 0, 0, vc1::kBlockFlagDiscontinuity);
  feed(s.frames[3].body, 0, 4000);
  EXPECT_EQ(out_.size(), 1u);
  // Corruption drops the frame in progress (2) and the bytes not yet cut (3).
  feed({0, 0, 1, 0x0D, 0x12}, 0, 0, vc1::kBlockFlagCorrupted);
  feed(s.frames[0].body, 0, 6000);
  drain();
  ASSERT_EQ(out_.size(), 2u);
  EXPECT_EQ(out_[1].dts, 6000);
  // The stored headers survive and still lead the key frame.
  EXPECT_EQ(out_[1].bytes, expected_output(s, s.frames[0]));
  // A discontinuous block that carries data keeps it.
  out_.clear();
  feed(s.frames[1].body, 0, 7000, vc1::kBlockFlagDiscontinuity);
  drain();
  ASSERT_EQ(out_.size(), 1u);
  EXPECT_EQ(out_[0].bytes, s.frames[1].body);
  EXPECT_EQ(out_[0].dts, 7000);
}

// ------------------------------------------------------------------------------------------
// vc1parse2
// ------------------------------------------------------------------------------------------

v::SequenceHeader
pal_sequence(bool interlace = false)
{
  v::SequenceHeader seq;
  seq.width = 96;
  seq.height = 64;
  seq.interlace = interlace;
  seq.display_ext = true;
  seq.display_width = 128;  // anamorphic: 4/3 wide pixels
  seq.display_height = 64;
  seq.framerate_flag = true;  // 25/1
  return seq;
}

class VC1ParseTest : public ::testing::Test {
 protected:
  void start(const std::string &caps = kSinkCaps) { h_ = make_harness("vc1parse2", caps.c_str()); }
  GstFlowReturn push(const Bytes &bytes, GstClockTime pts = GST_CLOCK_TIME_NONE,
                     GstClockTime dts = GST_CLOCK_TIME_NONE) {
    return gst_harness_push(h_.get(), make_buffer(bytes, pts, GST_CLOCK_TIME_NONE, dts));
  }
  // One buffer a frame (the headers go with the first); the first carries `pts`.
  void push_frames(const Stream &s, GstClockTime pts = 0) {
    size_t pos = 0;
    for (size_t i = 0; i < s.frames.size(); ++i) {
      // Frame i ends where its body ends in the stream.
      const Bytes &body = s.frames[i].body;
      auto it = std::search(s.bytes.begin() + pos, s.bytes.end(), body.begin(), body.end());
      ASSERT_NE(it, s.bytes.end());
      const size_t end = (it - s.bytes.begin()) + body.size();
      ASSERT_EQ(push(Bytes(s.bytes.begin() + pos, s.bytes.begin() + end),
                     i == 0 ? pts : GST_CLOCK_TIME_NONE),
                GST_FLOW_OK);
      pos = end;
    }
  }
  void eos() { gst_harness_push_event(h_.get(), gst_event_new_eos()); }
  Ref<GstCaps> src_caps() { return gstref::adopt(gst_pad_get_current_caps(h_->sinkpad)); }
  Harness h_;
};

Bytes
codec_data_of(GstCaps *caps)
{
  const GValue *v = gst_structure_get_value(gst_caps_get_structure(caps, 0), "codec_data");
  if (!v) return {};
  return buffer_bytes(gst_value_get_buffer(v));
}

TEST_F(VC1ParseTest, Caps_CompleteAndEveryFrameOut)
{
  Stream s = progressive_stream(kGop, true, pal_sequence());
  start();
  push_frames(s);
  // A frame is complete only when the next one has started.
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), s.frames.size() - 2);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), s.frames.size());
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(buffer_bytes(out[i].get()), expected_output(s, s.frames[i]));
    EXPECT_EQ(!GST_BUFFER_FLAG_IS_SET(out[i].get(), GST_BUFFER_FLAG_DELTA_UNIT), s.frames[i].key);
    // DTS from the first frame on, one frame duration apart.
    EXPECT_EQ(GST_BUFFER_DTS(out[i].get()), ms(40) * i);
  }
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), 0u);

  Ref<GstCaps> caps = src_caps();
  ASSERT_TRUE(caps);
  GstStructure *st = gst_caps_get_structure(caps.get(), 0);
  gint w = 0, hgt = 0, fn = 0, fd = 0, pn = 0, pd = 0;
  gboolean interlaced = TRUE, parsed = FALSE;
  EXPECT_TRUE(gst_structure_get_int(st, "width", &w) && gst_structure_get_int(st, "height", &hgt));
  EXPECT_EQ(w, 96);
  EXPECT_EQ(hgt, 64);
  EXPECT_TRUE(gst_structure_get_fraction(st, "framerate", &fn, &fd));
  EXPECT_EQ(fn * 1, 25 * fd);
  EXPECT_TRUE(gst_structure_get_fraction(st, "pixel-aspect-ratio", &pn, &pd));
  EXPECT_EQ(pn * 3, pd * 4);
  EXPECT_TRUE(gst_structure_get_boolean(st, "interlaced", &interlaced));
  EXPECT_FALSE(interlaced);
  EXPECT_TRUE(gst_structure_get_boolean(st, "parsed", &parsed) && parsed);
  Bytes expected_codec_data = {0};
  v::append(expected_codec_data, s.headers());
  EXPECT_EQ(codec_data_of(caps.get()), expected_codec_data);

  // Event order downstream: stream-start, caps, segment, then EOS after the last buffer.
  std::vector<GstEventType> types;
  for (auto &e : pull_all_events(h_.get())) types.push_back(GST_EVENT_TYPE(e.get()));
  EXPECT_EQ(types, (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS,
                                              GST_EVENT_SEGMENT, GST_EVENT_EOS}));
}

TEST_F(VC1ParseTest, CodecData_AsfHeaderBytePrimesTheStream)
{
  v::SequenceHeader seq = pal_sequence(true);
  // ASF codec data: a header byte, then sequence header and entry point.
  Stream s = progressive_stream({Picture::kI, Picture::kP, Picture::kB}, false, seq);
  Bytes asf = {0x2B};
  v::append(asf, s.headers());
  gchar *hex = nullptr;
  {
    GString *str = g_string_new(nullptr);
    for (guint8 b : asf) g_string_append_printf(str, "%02x", b);
    hex = g_string_free(str, FALSE);
  }
  start(std::string(kSinkCaps) + ",codec_data=(buffer)" + hex);
  g_free(hex);
  // The stream itself carries no headers.
  Bytes frames_only;
  for (auto &f : s.frames) v::append(frames_only, f.body);
  ASSERT_EQ(push(frames_only, 0), GST_FLOW_OK);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(buffer_bytes(out[0].get()), expected_output(s, s.frames[0]));
  Ref<GstCaps> caps = src_caps();
  Bytes expected_codec_data = {0};
  v::append(expected_codec_data, s.headers());
  EXPECT_EQ(codec_data_of(caps.get()), expected_codec_data);
  gboolean interlaced = FALSE;
  EXPECT_TRUE(
      gst_structure_get_boolean(gst_caps_get_structure(caps.get(), 0), "interlaced", &interlaced));
  EXPECT_TRUE(interlaced);
}

TEST_F(VC1ParseTest, Caps_FollowANewSequenceHeader)
{
  const Stream a = progressive_stream({Picture::kI, Picture::kP}, false, pal_sequence());
  v::SequenceHeader wider = pal_sequence();
  wider.width = 160;
  wider.display_width = 160;
  const Stream b = progressive_stream({Picture::kI, Picture::kP}, false, wider);
  start();
  ASSERT_EQ(push(a.bytes, 0), GST_FLOW_OK);
  ASSERT_EQ(push(b.bytes), GST_FLOW_OK);
  // The last frame of the first sequence is out, still under the first caps.
  ASSERT_EQ(gst_harness_buffers_in_queue(h_.get()), 2u);
  gint width = 0;
  gst_structure_get_int(gst_caps_get_structure(src_caps().get(), 0), "width", &width);
  EXPECT_EQ(width, 96);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(buffer_bytes(out[2].get()), expected_output(b, b.frames[0]));
  std::vector<gint> widths;
  for (auto &e : pull_all_events(h_.get())) {
    if (GST_EVENT_TYPE(e.get()) != GST_EVENT_CAPS) continue;
    GstCaps *caps = nullptr;
    gst_event_parse_caps(e.get(), &caps);
    gint w = 0;
    gst_structure_get_int(gst_caps_get_structure(caps, 0), "width", &w);
    widths.push_back(w);
  }
  EXPECT_EQ(widths, (std::vector<gint>{96, 160}));
  Bytes codec_data = {0};
  v::append(codec_data, b.headers());
  EXPECT_EQ(codec_data_of(src_caps().get()), codec_data);
}

TEST_F(VC1ParseTest, LeadingDeltaFrames_DroppedAtStartAndAfterFlush)
{
  const Stream s = progressive_stream(
      {Picture::kP, Picture::kB, Picture::kI, Picture::kP, Picture::kP, Picture::kI, Picture::kP},
      false, pal_sequence());
  start();
  push_frames(s);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  // After the flush: P, I, P again; the segment start gives the first DTS.
  ASSERT_EQ(push(s.frames[4].body, ms(1000)), GST_FLOW_OK);
  ASSERT_EQ(push(s.frames[5].body), GST_FLOW_OK);
  ASSERT_EQ(push(s.frames[6].body), GST_FLOW_OK);
  eos();
  auto out = pull_all(h_.get());
  // I P P before the flush (frames 5 and 6 were still inside the packetizer and lose their
  // time), then I P: the leading P after the flush is dropped again.
  std::vector<Bytes> got;
  for (auto &b : out) got.push_back(buffer_bytes(b.get()));
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], expected_output(s, s.frames[2]));
  EXPECT_EQ(got[1], expected_output(s, s.frames[3]));
  EXPECT_EQ(got[2], expected_output(s, s.frames[4]));
  EXPECT_EQ(got[3], expected_output(s, s.frames[5]));
  EXPECT_EQ(got[4], expected_output(s, s.frames[6]));
  EXPECT_EQ(GST_BUFFER_DTS(out[3].get()), ms(1040));
}

TEST_F(VC1ParseTest, LeadingDeltaFrames_AtMostAHundred)
{
  std::vector<Picture> types(102, Picture::kP);
  const Stream s = progressive_stream(types, false, pal_sequence());
  start();
  push_frames(s);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), s.frames[100].body);
}

TEST_F(VC1ParseTest, PassThrough_WithoutStartCodes)
{
  start(std::string(kSinkCaps) + ",width=320,height=240");
  const Bytes a = {1, 2, 3, 0, 0, 2, 0, 0}, b = {0, 1, 9, 9};
  ASSERT_EQ(push(a, ms(10), ms(5)), GST_FLOW_OK);
  ASSERT_EQ(push(b, ms(50), ms(45)), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), a);
  EXPECT_EQ(buffer_bytes(out[1].get()), b);
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(50));
  EXPECT_EQ(GST_BUFFER_DTS(out[1].get()), ms(45));
  Ref<GstCaps> expected = gstref::adopt(gst_caps_from_string(
      "video/x-wmv,wmvversion=3,format=WVC1,width=320,height=240,parsed=true"));
  EXPECT_TRUE(gst_caps_is_equal(src_caps().get(), expected.get()));
}

TEST_F(VC1ParseTest, Timestamps_DtsFromSegmentAndPtsKept)
{
  const Stream s =
      progressive_stream({Picture::kI, Picture::kP, Picture::kI}, false, pal_sequence());
  start();
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  Bytes first = s.headers();
  v::append(first, s.frames[0].body);
  ASSERT_EQ(push(first, ms(1080)), GST_FLOW_OK);
  ASSERT_EQ(push(s.frames[1].body, ms(1160)), GST_FLOW_OK);
  ASSERT_EQ(push(s.frames[2].body, ms(1120)), GST_FLOW_OK);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  // The first DTS comes from the segment start, the rest step by the frame duration.
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), ms(1000));
  EXPECT_EQ(GST_BUFFER_DTS(out[1].get()), ms(1040));
  EXPECT_EQ(GST_BUFFER_DTS(out[2].get()), ms(1080));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(1080));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(1160));
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), ms(1120));
}

// A raw file read by filesrc: a BYTES segment and no timestamps at all.
TEST_F(VC1ParseTest, Timestamps_RawFileStartsAtZero)
{
  const Stream s =
      progressive_stream({Picture::kI, Picture::kP, Picture::kP}, false, pal_sequence());
  start();
  GstSegment bytes;
  gst_segment_init(&bytes, GST_FORMAT_BYTES);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_segment(&bytes)));
  for (size_t pos = 0; pos < s.bytes.size(); pos += 64)
    ASSERT_EQ(
        push(Bytes(s.bytes.begin() + pos, s.bytes.begin() + std::min(pos + 64, s.bytes.size()))),
        GST_FLOW_OK);
  eos();
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(GST_BUFFER_DTS(out[i].get()), ms(40) * i);
}

TEST_F(VC1ParseTest, Chain_ErrorWithoutCaps)
{
  h_.reset(gst_harness_new("vc1parse2"));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(0)));
  EXPECT_EQ(push({0, 0, 1, 0x0F, 1, 2}), GST_FLOW_ERROR);
}

// ------------------------------------------------------------------------------------------
// Independent readers: the stock vc1parse, FFmpeg's VC-1 parser and avdec_vc1
// ------------------------------------------------------------------------------------------

// Every kind of unit: repeated headers, field pictures with their second field, slices, user
// data, emulation-prevented payloads, all picture types.
Stream
rich_stream(bool field_pictures = true)
{
  Stream s;
  s.seq = pal_sequence(true);
  s.ep.refdist_flag = true;
  s.bytes = s.headers();
  struct Pic {
    Coding coding;
    Picture type;
    guint fptype;
  };
  const std::vector<Pic> pics = {
      {Coding::kFieldInterlace, Picture::kI, 1}, {Coding::kProgressive, Picture::kP, 0},
      {Coding::kFrameInterlace, Picture::kB, 0}, {Coding::kFieldInterlace, Picture::kP, 3},
      {Coding::kFieldInterlace, Picture::kB, 4}, {Coding::kProgressive, Picture::kI, 0},
      {Coding::kFrameInterlace, Picture::kP, 0}, {Coding::kProgressive, Picture::kBI, 0},
      {Coding::kFrameInterlace, Picture::kI, 0}, {Coding::kProgressive, Picture::kSkipped, 0},
      {Coding::kFieldInterlace, Picture::kI, 0}, {Coding::kProgressive, Picture::kP, 0},
  };
  guint8 seed = 3;
  for (size_t i = 0; i < pics.size(); ++i) {
    const bool key = pics[i].type == Picture::kI;
    if (key && i > 0) v::append(s.bytes, s.headers());
    v::FrameSpec spec;
    spec.coding = pics[i].coding;
    if (!field_pictures && spec.coding == Coding::kFieldInterlace)
      spec.coding = Coding::kProgressive;
    spec.type = pics[i].type;
    spec.fptype = pics[i].fptype;
    spec.seed = seed++;
    spec.payload = 20 + 11 * i;
    spec.emulation = i % 3 == 1;
    ExpectedFrame f{v::frame(s.seq, s.ep, spec), key};
    if (i % 4 == 2) v::append(f.body, v::user_data(0x1D));
    if (spec.coding == Coding::kFieldInterlace) {
      v::append(f.body, v::field(30, seed));
      v::append(f.body, v::user_data(0x1C));
    }
    if (i % 3 == 0) {
      v::append(f.body, v::slice(1));
      v::append(f.body, v::user_data(0x1B));
      v::append(f.body, v::slice(2));
    }
    v::append(s.bytes, f.body);
    s.frames.push_back(std::move(f));
  }
  return s;
}

// vc1parse2 over `s` in chunks of 100 bytes, to EOS.
std::vector<Ref<GstBuffer>>
run_vc1parse2(const Stream &s, Ref<GstCaps> *caps)
{
  Harness h = make_harness("vc1parse2", kSinkCaps);
  for (size_t pos = 0; pos < s.bytes.size(); pos += 100) {
    const size_t end = std::min(pos + 100, s.bytes.size());
    gst_harness_push(h.get(), make_buffer(Bytes(s.bytes.begin() + pos, s.bytes.begin() + end),
                                          pos == 0 ? 0 : GST_CLOCK_TIME_NONE));
  }
  gst_harness_push_event(h.get(), gst_event_new_eos());
  *caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
  return pull_all(h.get());
}

TEST_F(VC1ParseTest, Oracle_StockParserAgreesOnFrameBoundaries)
{
  if (!have_factory("vc1parse")) GTEST_SKIP() << "no stock vc1parse";
  const Stream s = rich_stream();
  Ref<GstCaps> caps;
  auto mine = run_vc1parse2(s, &caps);
  ASSERT_EQ(mine.size(), s.frames.size());

  // The stock parser cuts the same input into single units; a frame is a frame unit and the
  // field, slice and user-data units after it.
  Harness stock = make_harness(
      "vc1parse", "video/x-wmv,wmvversion=3,format=WVC1,stream-format=bdu,header-format=none",
      "video/x-wmv,wmvversion=3,format=WVC1,stream-format=bdu,header-format=none");
  gst_harness_push(stock.get(), make_buffer(s.bytes, 0, GST_CLOCK_TIME_NONE, 0));
  gst_harness_push_event(stock.get(), gst_event_new_eos());
  std::vector<Bytes> frames;
  Bytes headers;
  for (auto &b : pull_all(stock.get())) {
    const Bytes unit = buffer_bytes(b.get());
    ASSERT_GE(unit.size(), 4u);
    if (unit[3] == 0x0F || unit[3] == 0x0E) {
      if (unit[3] == 0x0F) headers.clear();
      v::append(headers, unit);
    } else if (unit[3] == 0x0D) {
      frames.push_back(unit);
    } else {
      ASSERT_FALSE(frames.empty());
      v::append(frames.back(), unit);
    }
  }
  ASSERT_EQ(frames.size(), mine.size());
  EXPECT_EQ(headers, s.headers());
  for (size_t i = 0; i < frames.size(); ++i) {
    Bytes out = buffer_bytes(mine[i].get());
    const bool key = !GST_BUFFER_FLAG_IS_SET(mine[i].get(), GST_BUFFER_FLAG_DELTA_UNIT);
    // Key frames carry the headers the stock parser saw in front.
    if (key) {
      ASSERT_GE(out.size(), headers.size()) << i;
      ASSERT_TRUE(std::equal(headers.begin(), headers.end(), out.begin())) << i;
      out.erase(out.begin(), out.begin() + headers.size());
    }
    EXPECT_EQ(out, frames[i]) << "frame " << i;
  }
}

TEST_F(VC1ParseTest, Oracle_FfmpegAgreesOnKeyFrames)
{
  if (!have_program("ffprobe")) GTEST_SKIP() << "no ffprobe";
  // FFmpeg's parser makes a packet of each field: frame pictures only.
  const Stream s = rich_stream(false);
  Ref<GstCaps> caps;
  auto mine = run_vc1parse2(s, &caps);
  ASSERT_EQ(mine.size(), s.frames.size());
  gchar *path = nullptr;
  const int fd = g_file_open_tmp("vc1parse2-XXXXXX.vc1", &path, nullptr);
  ASSERT_GE(fd, 0);
  std::string expected;
  size_t keys = 0;
  for (auto &b : mine) {
    const Bytes bytes = buffer_bytes(b.get());
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const bool key = !GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT);
    keys += key;
    expected += key ? "K\n" : "_\n";
  }
  close(fd);
  // Progressive and frame-interlaced I pictures.
  ASSERT_EQ(keys, 4u);
  // Only the key flags: FFmpeg's parser moves slices behind a frame into the next packet.
  const CommandResult r = run_command(std::string("ffprobe -v error -f vc1 -show_entries "
                                                  "packet=flags -of csv=p=0 '") +
                                      path + "' | cut -c1");
  g_unlink(path);
  g_free(path);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.output, expected);
}

TEST_F(VC1ParseTest, Oracle_AvdecOpensFromCodecData)
{
  if (!have_factory("avdec_vc1")) GTEST_SKIP() << "no avdec_vc1";
  for (bool interlace : {false, true}) {
    SCOPED_TRACE(interlace);
    const Stream s = progressive_stream({Picture::kI, Picture::kP}, false, pal_sequence(interlace));
    Ref<GstCaps> caps;
    auto mine = run_vc1parse2(s, &caps);
    ASSERT_TRUE(caps);
    ASSERT_FALSE(mine.empty());
    // Caps are stored even when refused; the first buffer tells whether the codec opened.
    auto open_decoder = [&](GstCaps *c) {
      Harness dec(gst_harness_new("avdec_vc1"));
      gst_harness_push_event(dec.get(), gst_event_new_stream_start("vc1"));
      gst_harness_push_event(dec.get(), gst_event_new_caps(c));
      gst_harness_push_event(dec.get(), time_segment_event(0));
      return gst_harness_push(dec.get(), gst_buffer_copy(mine[0].get())) != GST_FLOW_NOT_NEGOTIATED;
    };
    EXPECT_TRUE(open_decoder(caps.get()));
    // The decoder does check: codec data without the entry point is refused.
    Ref<GstCaps> broken = gstref::adopt(gst_caps_copy(caps.get()));
    Bytes codec_data = codec_data_of(caps.get());
    ASSERT_EQ(codec_data.size(), 1 + s.headers().size());
    codec_data.resize(1 + v::sequence_header(s.seq).size());
    GstBuffer *buffer = gst_buffer_new_memdup(codec_data.data(), codec_data.size());
    gst_caps_set_simple(broken.get(), "codec_data", GST_TYPE_BUFFER, buffer, nullptr);
    gst_buffer_unref(buffer);
    EXPECT_FALSE(open_decoder(broken.get()));
  }
}

}  // namespace
