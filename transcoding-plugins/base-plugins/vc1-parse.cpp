// vc1parse2: frames a VC-1 advanced-profile (WVC1) elementary stream and completes its caps.
//
// Cuts the byte stream at start codes into frames (each key frame carries the sequence header
// and entry point), derives width, height, frame rate, pixel aspect ratio, interlacing and the
// codec data, and interpolates missing decode timestamps from the frame rate. Buffers pass
// unchanged until one holds a start code, so streams without start codes go through untouched.
// Output is in TIME (a raw file's BYTES segment becomes TIME from zero), and caps change only
// with the coding parameters of the headers, not with every repeated copy of them.
//
//   gst-launch-1.0 filesrc location=clip.vc1 ! video/x-wmv,wmvversion=3,format=WVC1 !
//       vc1parse2 ! avdec_vc1 ! fakesink
//
// Limits: a frame is complete only when the next one starts (the last one at end of stream);
// output durations are not generated; up to 100 leading delta frames are dropped over the
// element's life; frames before the first decode timestamp are dropped.
#include "transcoding-plugins/base-plugins/vc1-parse.h"

#include <gst/base/gstbitreader.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "transcoding-plugins/base-plugins/vc1-packetizer.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

namespace {

// The packetizer logs to GStreamer's own default category; taken before the element's
// category shadows the name.
GstDebugCategory *
packetizer_category()
{
  return GST_CAT_DEFAULT;
}

}  // namespace

GST_DEBUG_CATEGORY_STATIC(vc1_parse_debug);
#define GST_CAT_DEFAULT vc1_parse_debug

#define VC1_PARSER_LOG(level, ...)                                                        \
  G_STMT_START {                                                                          \
    GstDebugCategory *cat_ = packetizer_category();                                       \
    if (G_UNLIKELY(cat_ && (level) <= gst_debug_category_get_threshold(cat_)))            \
      gst_debug_log(cat_, (level), __FILE__, "ParseIDU", __LINE__, nullptr, __VA_ARGS__); \
  }                                                                                       \
  G_STMT_END

// ---------------------------------------------------------------------------------------------
// Packetizer
// ---------------------------------------------------------------------------------------------

namespace vc1 {

namespace {

constexpr size_t kBlockHeaderSize = sizeof(Block);
// Room allocated beyond the payload: alignment slack plus headroom for in-place growth.
constexpr size_t kBlockPadding = 96;
constexpr size_t kBlockAlign = 32;
static_assert(kBlockHeaderSize == 80, "the unit block header is 80 bytes");

constexpr size_t kMinUnitSize = 4;
constexpr int32_t kStateSearchStart = 0;
constexpr int32_t kStateSearchNext = 3;

// SMPTE 421M Annex E start-code suffixes.
constexpr uint8_t kEndOfSequence = 0x0A;
constexpr uint8_t kSlice = 0x0B;
constexpr uint8_t kField = 0x0C;
constexpr uint8_t kFrame = 0x0D;
constexpr uint8_t kEntryPoint = 0x0E;
constexpr uint8_t kSequenceHeader = 0x0F;
constexpr uint8_t kSliceUserData = 0x1B;
constexpr uint8_t kFieldUserData = 0x1C;
constexpr uint8_t kFrameUserData = 0x1D;

constexpr size_t kFrameHeaderBytes = 8;
constexpr size_t kSequenceHeaderBytes = 32;
// A sequence header with 31 leaky buckets is 142 bytes; an entry point at most 43.
constexpr size_t kHeaderKeyBytes = 160;

}  // namespace

Block *
block_Alloc(size_t size)
{
  if (size > std::numeric_limits<size_t>::max() - (kBlockHeaderSize + kBlockPadding))
    return nullptr;
  auto *raw = static_cast<uint8_t *>(g_try_malloc(kBlockHeaderSize + size + kBlockPadding));
  if (!raw) return nullptr;
  auto *block = reinterpret_cast<Block *>(raw);
  block->next = nullptr;
  block->start = raw + kBlockHeaderSize;
  block->area_size = size + kBlockPadding;
  // 32-byte aligned payload with 32 to 63 bytes of headroom behind the header.
  const uintptr_t aligned =
      (reinterpret_cast<uintptr_t>(raw) + kBlockHeaderSize + 2 * kBlockAlign - 1) &
      ~static_cast<uintptr_t>(kBlockAlign - 1);
  block->buffer = reinterpret_cast<uint8_t *>(aligned);
  block->buffer_size = size;
  block->flags = 0;
  block->pts = block->dts = block->length = 0;
  block->release = block_generic_Release;
  return block;
}

void
block_generic_Release(Block *block)
{
  // A block whose area was moved did not come from block_Alloc: freeing it would corrupt the
  // heap, so refuse loudly.
  if (block->start != reinterpret_cast<uint8_t *>(block + 1)) {
    g_return_if_fail_warning(nullptr, "block_generic_Release",
                             "block->p_start == (unsigned char *)(block + 1)");
    return;
  }
  g_free(block);
}

void
block_ChainRelease(Block *chain)
{
  while (chain) {
    Block *next = chain->next;
    block_Release(chain);
    chain = next;
  }
}

Block *
block_ChainGather(Block *chain)
{
  if (!chain || !chain->next) return chain;
  size_t total = 0;
  int64_t length = 0;
  for (Block *b = chain; b; b = b->next) {
    total += b->buffer_size;
    length += b->length;
  }
  Block *out = block_Alloc(total);
  if (!out) {
    block_ChainRelease(chain);
    return nullptr;
  }
  size_t pos = 0;
  for (Block *b = chain; b; b = b->next) {
    if (b->buffer_size) std::memcpy(out->buffer + pos, b->buffer, b->buffer_size);
    pos += b->buffer_size;
  }
  out->flags = chain->flags;
  out->pts = chain->pts;
  out->dts = chain->dts;
  out->length = length;
  block_ChainRelease(chain);
  return out;
}

namespace {

Block *
block_Duplicate(const Block *block)
{
  Block *copy = block_Alloc(block->buffer_size);
  if (!copy) return nullptr;
  if (block->buffer_size) std::memcpy(copy->buffer, block->buffer, block->buffer_size);
  copy->flags = block->flags;
  copy->pts = block->pts;
  copy->dts = block->dts;
  copy->length = block->length;
  return copy;
}

// Bytes not yet cut into units: a chain of input blocks read from `head_offset` of the first.
class ByteStream {
 public:
  ByteStream() = default;
  ByteStream(const ByteStream &) = delete;
  ByteStream &operator=(const ByteStream &) = delete;
  ~ByteStream() { clear(); }

  void push(Block *block) {
    if (block->buffer_size == 0) {
      block_Release(block);
      return;
    }
    block->next = nullptr;
    *last_ = block;
    last_ = &block->next;
    remaining_ += block->buffer_size;
  }

  void clear() {
    memo_block_ = nullptr;
    block_ChainRelease(first_);
    first_ = nullptr;
    last_ = &first_;
    head_offset_ = 0;
    remaining_ = 0;
  }

  size_t remaining() const { return remaining_; }
  // The block in which the unread bytes start.
  Block *head() const { return first_; }

  // Finds the first 00 00 01 starting at or after `from` (relative to the read position).
  bool find_start_code(size_t from, size_t *found) const {
    if (from >= remaining_) return false;
    // A unit fed in many small blocks is searched again after each one: resume at the block
    // holding `from` instead of walking the chain from its head every time.
    Block *b = first_;
    size_t logical = 0;  // offset of the current block's first unread byte
    if (memo_block_ && memo_logical_ <= from) {
      b = memo_block_;
      logical = memo_logical_;
    }
    int zeros = 0;
    for (; b; b = b->next) {
      const size_t skip = b == first_ ? head_offset_ : 0;
      const uint8_t *data = b->buffer + skip;
      const size_t n = b->buffer_size - skip;
      if (logical + n <= from) {
        logical += n;
        continue;
      }
      if (logical <= from) {
        memo_block_ = b;
        memo_logical_ = logical;
      }
      size_t i = from > logical ? from - logical : 0;
      while (i < n) {
        if (zeros == 0) {
          // Start codes begin with zeros: jump to the next one.
          const void *z = std::memchr(data + i, 0, n - i);
          if (!z) {
            i = n;
            break;
          }
          i = static_cast<const uint8_t *>(z) - data;
        }
        const uint8_t c = data[i];
        if (c == 0) {
          ++zeros;
        } else {
          if (c == 1 && zeros >= 2) {
            *found = logical + i - 2;
            return true;
          }
          zeros = 0;
        }
        ++i;
      }
      logical += n;
    }
    return false;
  }

  // Copies `size` unread bytes into `dst` without consuming them.
  void peek(uint8_t *dst, size_t size) const {
    for (Block *b = first_; b && size; b = b->next) {
      const size_t skip = b == first_ ? head_offset_ : 0;
      const size_t n = std::min(size, b->buffer_size - skip);
      std::memcpy(dst, b->buffer + skip, n);
      dst += n;
      size -= n;
    }
  }

  void skip(size_t size) {
    memo_block_ = nullptr;
    size = std::min(size, remaining_);
    remaining_ -= size;
    while (size) {
      const size_t avail = first_->buffer_size - head_offset_;
      if (size < avail) {
        head_offset_ += size;
        return;
      }
      size -= avail;
      Block *next = first_->next;
      block_Release(first_);
      first_ = next;
      head_offset_ = 0;
    }
    // Never keep a fully read block at the head.
    if (first_ && head_offset_ == first_->buffer_size) {
      Block *next = first_->next;
      block_Release(first_);
      first_ = next;
      head_offset_ = 0;
    }
    if (!first_) last_ = &first_;
  }

 private:
  Block *first_ = nullptr;
  Block **last_ = &first_;
  size_t head_offset_ = 0;
  size_t remaining_ = 0;
  // Last search position: a block of the chain and its offset from the read position.
  mutable Block *memo_block_ = nullptr;
  mutable size_t memo_logical_ = 0;
};

// Reads fields MSB first; past the end every read yields 0 and ok() turns false.
class Bits {
 public:
  Bits(const uint8_t *data, size_t size) { gst_bit_reader_init(&r_, data, size); }
  uint32_t u(unsigned n) {
    uint32_t v = 0;
    if (ok_ && !gst_bit_reader_get_bits_uint32(&r_, &v, n)) ok_ = false;
    return ok_ ? v : 0;
  }
  void skip(unsigned n) {
    if (ok_ && !gst_bit_reader_skip(&r_, n)) ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  GstBitReader r_;
  bool ok_ = true;
};

// Lowest terms; a zero denominator gives 0/1; values beyond 32 bits take the closest
// continued-fraction convergent that fits.
void
reduce_fraction(uint64_t num, uint64_t den, uint32_t *out_num, uint32_t *out_den)
{
  if (den == 0) {
    *out_num = 0;
    *out_den = 1;
    return;
  }
  const uint64_t g = std::gcd(num, den);
  if (g > 1) {
    num /= g;
    den /= g;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (num <= kMax && den <= kMax) {
    *out_num = static_cast<uint32_t>(num);
    *out_den = static_cast<uint32_t>(den);
    return;
  }
  // Convergents h/k of num/den.
  uint64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  uint64_t n = num, d = den;
  while (d) {
    const uint64_t a = n / d;
    const unsigned __int128 h2 = static_cast<unsigned __int128>(a) * h1 + h0;
    const unsigned __int128 k2 = static_cast<unsigned __int128>(a) * k1 + k0;
    if (h2 > kMax || k2 > kMax) break;
    h0 = h1;
    h1 = static_cast<uint64_t>(h2);
    k0 = k1;
    k1 = static_cast<uint64_t>(k2);
    const uint64_t r = n % d;
    n = d;
    d = r;
  }
  if (k1 == 0) {
    // Even the integer part overflows.
    *out_num = static_cast<uint32_t>(kMax);
    *out_den = 1;
    return;
  }
  *out_num = static_cast<uint32_t>(h1);
  *out_den = static_cast<uint32_t>(k1);
}

}  // namespace

struct Packetizer {
  EsFormat fmt{};
  uint32_t format_serial = 0;
  // The coding parameters behind `fmt.extra` (see header_key).
  std::vector<uint8_t> extra_key;

  // Start-code splitter.
  int32_t state = kStateSearchStart;
  ByteStream stream;
  size_t offset = 0;
  bool flushing = false;

  // Parser.
  bool have_sequence_header = false;
  Block *sequence_header = nullptr;
  bool advanced_profile = false;
  bool interlaced = false;
  bool frame_interpolation = false;
  bool range_reduction = false;
  bool has_b_frames = false;
  bool have_entry_point = false;
  Block *entry_point = nullptr;
  bool in_frame = false;
  int64_t frame_dts = 0;
  int64_t frame_pts = 0;
  Block *frame = nullptr;
  Block **frame_last = &frame;
  int64_t interpolated_dts = 0;

  Packetizer() = default;
  Packetizer(const Packetizer &) = delete;
  Packetizer &operator=(const Packetizer &) = delete;
};

void
es_format_clear(EsFormat *format)
{
  g_free(format->extra);
  *format = EsFormat{};
}

namespace {

void
frame_append(Packetizer *p, Block *unit)
{
  unit->next = nullptr;
  *p->frame_last = unit;
  p->frame_last = &unit->next;
}

void
frame_release(Packetizer *p)
{
  block_ChainRelease(p->frame);
  p->frame = nullptr;
  p->frame_last = &p->frame;
}

void
set_extra(Packetizer *p, const uint8_t *data, size_t size)
{
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return;
  if (static_cast<size_t>(p->fmt.extra_size) == size && size &&
      std::memcmp(p->fmt.extra, data, size) == 0)
    return;
  if (static_cast<size_t>(p->fmt.extra_size) != size) {
    g_free(p->fmt.extra);
    p->fmt.extra = size ? static_cast<uint8_t *>(g_malloc(size)) : nullptr;
  }
  if (size) std::memcpy(p->fmt.extra, data, size);
  p->fmt.extra_size = static_cast<int32_t>(size);
  ++p->format_serial;
}

// Copies fields bit by bit into a key.
class KeyWriter {
 public:
  explicit KeyWriter(Bits &bits) : bits_(bits) {}
  uint32_t take(unsigned n) {
    const uint32_t v = bits_.u(n);
    for (unsigned i = n; i-- > 0;) {
      if (used_ % 8 == 0) key_.push_back(0);
      key_.back() |= ((v >> i) & 1) << (7 - used_ % 8);
      ++used_;
    }
    return v;
  }
  std::vector<uint8_t> key() { return bits_.ok() ? std::move(key_) : std::vector<uint8_t>{}; }

 private:
  Bits &bits_;
  std::vector<uint8_t> key_;
  unsigned used_ = 0;
};

// The coding parameters of a sequence header and entry point (SMPTE 421M 6.1 and 6.2), bit
// for bit. Left out: the flushing bits and stuffing behind each header, which differ between
// copies of the same header, and the entry point's BROKEN_LINK and CLOSED_ENTRY, which
// describe one group of pictures, not the stream. Empty when a header is cut short.
std::vector<uint8_t>
header_key(const Block *sequence_header, const Block *entry_point)
{
  uint8_t header[kHeaderKeyBytes];
  size_t size = sizeof header;
  DecodeRIDU(header, &size, sequence_header->buffer + 4, sequence_header->buffer_size - 4);
  Bits seq(header, size);
  KeyWriter k(seq);
  if (k.take(2) != 3) {
    k.take(30);  // simple and main profile: STRUCT_C
    return k.key();
  }
  k.take(3 + 2 + 3 + 5 + 1);
  k.take(12 + 12);
  k.take(1 + 1 + 1 + 1 + 1 + 1);
  if (k.take(1)) {  // DISPLAY_EXT
    k.take(14 + 14);
    if (k.take(1) && k.take(4) == 15) k.take(16);  // ASPECT_RATIO
    if (k.take(1)) k.take(k.take(1) ? 16 : 12);     // FRAMERATE
    if (k.take(1)) k.take(24);                      // COLOR_FORMAT
  }
  uint32_t leaky_buckets = 0;
  if (k.take(1)) {  // HRD_PARAM_FLAG
    leaky_buckets = k.take(5);
    k.take(8);
    for (uint32_t i = 0; i < leaky_buckets; ++i) k.take(32);
  }
  const std::vector<uint8_t> seq_key = k.key();
  if (seq_key.empty()) return {};

  size = sizeof header;
  DecodeRIDU(header, &size, entry_point->buffer + 4, entry_point->buffer_size - 4);
  Bits ep(header, size);
  KeyWriter e(ep);
  ep.skip(2);  // BROKEN_LINK, CLOSED_ENTRY
  e.take(4);
  const bool extended_mv = e.take(1);
  e.take(2 + 1 + 1 + 2);
  for (uint32_t i = 0; i < leaky_buckets; ++i) e.take(8);  // HRD_FULL
  if (e.take(1)) e.take(24);                              // CODED_SIZE_FLAG
  if (extended_mv) e.take(1);
  if (e.take(1)) e.take(3);  // RANGE_MAPY
  if (e.take(1)) e.take(3);  // RANGE_MAPUV
  std::vector<uint8_t> key = e.key();
  if (key.empty()) return {};
  key.insert(key.begin(), seq_key.begin(), seq_key.end());
  return key;
}

void
BuildExtraData(Packetizer *p)
{
  if (!p->sequence_header || !p->entry_point) return;
  // Streams repeat their headers at every entry point: a copy that differs only in what the
  // key leaves out is no new format (muxers refuse caps changes).
  std::vector<uint8_t> key = header_key(p->sequence_header, p->entry_point);
  if (!key.empty() && key == p->extra_key) return;
  p->extra_key = std::move(key);
  const size_t seq = p->sequence_header->buffer_size;
  const size_t ep = p->entry_point->buffer_size;
  uint8_t *joined = static_cast<uint8_t *>(g_malloc(seq + ep));
  std::memcpy(joined, p->sequence_header->buffer, seq);
  std::memcpy(joined + seq, p->entry_point->buffer, ep);
  set_extra(p, joined, seq + ep);
  g_free(joined);
}

// SMPTE 421M 6.1.14.3.1, Table 8.
constexpr uint32_t kAspectRatios[][2] = {
    {0, 1},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},  {24, 11}, {20, 11},
    {32, 11}, {80, 33}, {18, 11}, {15, 11}, {64, 33}, {160, 99}, {0, 1},
};

// SMPTE 421M 6.1.14.4, Tables 9 and 10.
constexpr uint32_t kFrameRateNumerators[] = {0, 24000, 25000, 30000, 50000, 60000, 48000, 72000};

void
parse_sequence_header(Packetizer *p, const Block *unit)
{
  uint8_t header[kSequenceHeaderBytes];
  size_t size = sizeof header;
  DecodeRIDU(header, &size, unit->buffer + 4, unit->buffer_size - 4);
  const bool first = !p->have_sequence_header;
  Bits bits(header, size);

  const uint32_t profile = bits.u(2);
  if (profile < 3) {
    // Simple and main profile (SMPTE 421M Annex J, STRUCT_C): nothing about size or timing.
    p->advanced_profile = false;
    p->interlaced = false;
    bits.skip(2 + 3 + 5 + 1 + 1 + 1 + 1 + 1 + 1 + 2 + 1 + 1 + 1 + 1);
    p->range_reduction = bits.u(1);
    p->has_b_frames = bits.u(3) != 0;
    bits.skip(2);  // QUANTIZER
    p->frame_interpolation = bits.u(1);
    if (first)
      VC1_PARSER_LOG(GST_LEVEL_DEBUG, "found sequence header for %s profile",
                     profile == 0 ? "simple" : "main");
    return;
  }

  // Advanced profile, SMPTE 421M 6.1.
  p->advanced_profile = true;
  p->has_b_frames = true;
  p->range_reduction = false;
  const uint32_t level = bits.u(3);
  bits.skip(2 + 3 + 5 + 1);  // COLORDIFF_FORMAT, FRMRTQ_POSTPROC, BITRTQ_POSTPROC, POSTPROCFLAG
  const uint32_t coded_width = bits.u(12);
  const uint32_t coded_height = bits.u(12);
  if (!bits.ok()) return;
  p->fmt.width = 2 * coded_width + 2;
  p->fmt.height = 2 * coded_height + 2;
  if (first)
    VC1_PARSER_LOG(
        GST_LEVEL_DEBUG, "found sequence header for advanced profile level L%d resolution %dx%d",
        static_cast<int>(level), static_cast<int>(p->fmt.width), static_cast<int>(p->fmt.height));
  bits.skip(1);  // PULLDOWN
  const bool interlace = bits.u(1);
  bits.skip(1);  // TFCNTRFLAG
  const bool finterp = bits.u(1);
  bits.skip(1 + 1);  // reserved, PSF
  if (!bits.ok()) return;
  p->interlaced = interlace;
  p->frame_interpolation = finterp;
  if (!bits.u(1)) return;  // DISPLAY_EXT

  const uint32_t display_width = bits.u(14) + 1;
  const uint32_t display_height = bits.u(14) + 1;
  if (!bits.ok()) return;
  if (first)
    VC1_PARSER_LOG(GST_LEVEL_DEBUG, "display size %dx%d", static_cast<int>(display_width),
                   static_cast<int>(display_height));
  reduce_fraction(static_cast<uint64_t>(p->fmt.height) * display_width,
                  static_cast<uint64_t>(p->fmt.width) * display_height, &p->fmt.sar_num,
                  &p->fmt.sar_den);

  if (bits.u(1)) {  // ASPECT_RATIO_FLAG
    const uint32_t index = bits.u(4);
    uint32_t ar_num, ar_den;
    if (index == 15) {
      ar_num = bits.u(8);
      ar_den = bits.u(8);
    } else {
      ar_num = kAspectRatios[index][0];
      ar_den = kAspectRatios[index][1];
    }
    reduce_fraction(ar_num, ar_den, &ar_num, &ar_den);
    if (first && bits.ok())
      VC1_PARSER_LOG(GST_LEVEL_DEBUG, "aspect ratio %d:%d", static_cast<int>(ar_num),
                     static_cast<int>(ar_den));
  }

  if (bits.u(1)) {  // FRAMERATE_FLAG
    uint64_t num = 0, den = 0;
    if (bits.u(1) == 0) {  // FRAMERATEIND
      const uint32_t nr = bits.u(8);
      const uint32_t dr = bits.u(4);
      num = nr < G_N_ELEMENTS(kFrameRateNumerators) ? kFrameRateNumerators[nr] : 0;
      den = dr == 1 ? 1000 : dr == 2 ? 1001 : 0;
    } else {
      num = bits.u(16) + 1;
      den = 32;
    }
    if (bits.ok() && num && den) {
      reduce_fraction(num, den, &p->fmt.fps_num, &p->fmt.fps_den);
      if (first)
        VC1_PARSER_LOG(GST_LEVEL_DEBUG, "frame rate %d/%d", static_cast<int>(p->fmt.fps_num),
                       static_cast<int>(p->fmt.fps_den));
    }
  }
}

// Picture type of a frame unit (SMPTE 421M 7.1.1.1 and 7.1.1.4; Annex J for simple/main).
uint32_t
picture_type(const Packetizer *p, const Block *unit)
{
  uint8_t header[kFrameHeaderBytes];
  size_t size = sizeof header;
  DecodeRIDU(header, &size, unit->buffer + 4, unit->buffer_size - 4);
  Bits bits(header, size);
  uint32_t type = 0;
  if (p->advanced_profile) {
    if (p->interlaced && bits.u(1) && bits.u(1)) {
      // Field interlace: FPTYPE names both fields; the first decides.
      const uint32_t fptype = bits.u(3);
      type = fptype <= 2 ? kBlockFlagTypeI : fptype == 3 ? kBlockFlagTypeP : kBlockFlagTypeB;
    } else if (!bits.u(1)) {
      type = kBlockFlagTypeP;
    } else if (!bits.u(1)) {
      type = kBlockFlagTypeB;
    } else if (!bits.u(1)) {
      type = kBlockFlagTypeI;
    } else if (!bits.u(1)) {
      type = kBlockFlagTypeB;  // BI
    } else {
      type = kBlockFlagTypeP;  // skipped picture
    }
  } else {
    if (p->frame_interpolation) bits.skip(1);
    bits.skip(2);  // FRMCNT
    if (p->range_reduction) bits.skip(1);
    if (bits.u(1))
      type = kBlockFlagTypeP;
    else if (!p->has_b_frames || bits.u(1))
      type = kBlockFlagTypeI;
    else
      type = kBlockFlagTypeB;
  }
  return bits.ok() ? type : 0;
}

// Gathers the frame in progress, stamps it and clears the frame state.
Block *
complete_frame(Packetizer *p)
{
  Block *chain = p->frame;
  p->frame = nullptr;
  p->frame_last = &p->frame;
  const uint32_t flags = chain ? chain->flags : 0;
  if (chain && (flags & kBlockFlagTypeI) && p->sequence_header && p->entry_point) {
    Block *seq = block_Duplicate(p->sequence_header);
    Block *ep = block_Duplicate(p->entry_point);
    if (seq && ep) {
      seq->flags = flags;
      seq->next = ep;
      ep->next = chain;
      chain = seq;
    } else {
      if (seq) block_Release(seq);
      if (ep) block_Release(ep);
    }
  }
  Block *out = block_ChainGather(chain);

  int64_t dts = p->frame_dts;
  int64_t pts = p->frame_pts;
  if (p->frame_dts > 0) p->interpolated_dts = p->frame_dts;
  if (p->fmt.fps_num && p->fmt.fps_den && p->interpolated_dts > 0) {
    // A frame without DTS takes the running estimate, which then moves one frame on.
    if (p->frame_dts <= 0) dts = p->interpolated_dts;
    p->interpolated_dts +=
        static_cast<int64_t>(static_cast<uint64_t>(p->fmt.fps_den) * 1000000u / p->fmt.fps_num);
  }
  if (pts <= 0 && (!p->has_b_frames || (flags & kBlockFlagTypeB))) pts = dts;

  p->in_frame = false;
  p->frame_dts = 0;
  p->frame_pts = 0;
  if (!out) return nullptr;
  out->dts = dts;
  out->pts = pts;
  return out;
}

bool
PacketizeValidate(Packetizer *p, Block *frame)
{
  (void)frame;
  if (p->interpolated_dts <= 0) {
    VC1_PARSER_LOG(GST_LEVEL_DEBUG, "need a starting pts/dts");
    return false;
  }
  return true;
}

Block *
PacketizeParse(Packetizer *p, bool *ts_used, Block *unit)
{
  const uint8_t type = unit->buffer[3];

  if (!p->have_sequence_header && type != kSequenceHeader) {
    VC1_PARSER_LOG(GST_LEVEL_WARNING, "waiting for sequence header");
    block_Release(unit);
    return nullptr;
  }
  if (p->have_sequence_header && !p->have_entry_point && type != kEntryPoint &&
      type != kSequenceHeader) {
    VC1_PARSER_LOG(GST_LEVEL_WARNING, "waiting for entry point");
    block_Release(unit);
    return nullptr;
  }

  Block *completed = nullptr;
  const bool continues_frame = type == kEndOfSequence || type == kSlice || type == kField ||
                               type == kSliceUserData || type == kFieldUserData ||
                               type == kFrameUserData;
  if (p->in_frame && !continues_frame) completed = complete_frame(p);

  if (p->frame_dts <= 0 && p->frame_pts <= 0) {
    p->frame_dts = unit->dts;
    p->frame_pts = unit->pts;
    *ts_used = true;
  }

  switch (type) {
    case kFrame: {
      frame_append(p, unit);
      p->frame->flags = (p->frame->flags & ~kBlockFlagTypeMask) | picture_type(p, unit);
      p->in_frame = true;
      break;
    }
    case kEntryPoint:
      if (p->entry_point) block_Release(p->entry_point);
      unit->next = nullptr;
      p->entry_point = unit;
      if (!p->have_entry_point) VC1_PARSER_LOG(GST_LEVEL_DEBUG, "found entry point");
      p->have_entry_point = true;
      BuildExtraData(p);
      break;
    case kSequenceHeader:
      if (p->sequence_header) block_Release(p->sequence_header);
      unit->next = nullptr;
      p->sequence_header = unit;
      parse_sequence_header(p, unit);
      p->have_sequence_header = true;
      BuildExtraData(p);
      break;
    default:
      frame_append(p, unit);
      break;
  }
  return completed;
}

// The start-code splitter: cuts units and hands them to the parser.
Block *
packetizer_Packetize(Packetizer *p, Block **pblock)
{
  if (pblock && *pblock) {
    Block *block = *pblock;
    *pblock = nullptr;
    if (block->flags & kBlockFlagCorrupted) {
      p->state = kStateSearchStart;
      p->stream.clear();
      p->offset = 0;
      PacketizeReset(p, true);
      block_Release(block);
      return nullptr;
    }
    if (block->flags & kBlockFlagDiscontinuity) {
      PacketizeReset(p, false);
      // The payload of a discontinuous block still belongs to the stream.
      if (block->buffer_size == 0) {
        block_Release(block);
        return nullptr;
      }
    }
    p->stream.push(block);
  }

  for (;;) {
    if (p->state == kStateSearchStart) {
      size_t pos;
      if (!p->stream.find_start_code(0, &pos)) {
        // Keep the bytes that may begin a start code split across blocks.
        if (p->stream.remaining() > 2) p->stream.skip(p->stream.remaining() - 2);
        return nullptr;
      }
      p->stream.skip(pos);
      p->state = kStateSearchNext;
      p->offset = 1;
    }

    size_t unit_size;
    size_t next;
    if (p->stream.find_start_code(p->offset, &next)) {
      unit_size = next;
    } else {
      if (!p->flushing) {
        // Resume where a start code could still begin.
        const size_t r = p->stream.remaining();
        p->offset = std::max(p->offset, r > 2 ? r - 2 : size_t{1});
        return nullptr;
      }
      if (p->stream.remaining() <= 3) return nullptr;
      unit_size = p->stream.remaining();
    }
    p->offset = 0;

    Block *origin = p->stream.head();
    Block *unit = unit_size >= kMinUnitSize ? block_Alloc(unit_size) : nullptr;
    if (!unit) {
      p->stream.skip(unit_size);
      p->state = kStateSearchStart;
      continue;
    }
    p->stream.peek(unit->buffer, unit_size);
    unit->pts = origin->pts;
    unit->dts = origin->dts;

    bool ts_used = false;
    Block *frame = PacketizeParse(p, &ts_used, unit);
    if (ts_used) origin->pts = origin->dts = 0;
    p->stream.skip(unit_size);

    // The read position now sits on the next start code, if any.
    p->state = kStateSearchStart;
    if (!frame) continue;
    if (PacketizeValidate(p, frame)) return frame;
    block_Release(frame);
  }
}

}  // namespace

void
PacketizeReset(Packetizer *context, bool flush)
{
  if (flush) {
    frame_release(context);
    context->in_frame = false;
  }
  context->frame_dts = 0;
  context->frame_pts = 0;
  context->interpolated_dts = 0;
}

Packetizer *
open_packetizer(const uint8_t *codec_data, size_t size)
{
  auto *p = new Packetizer();
  if (codec_data && size) set_extra(p, codec_data, size);
  return p;
}

void
close_packetizer(Packetizer *context)
{
  if (!context) return;
  es_format_clear(&context->fmt);
  context->stream.clear();
  frame_release(context);
  if (context->sequence_header) block_Release(context->sequence_header);
  if (context->entry_point) block_Release(context->entry_point);
  delete context;
}

Block *
Packetize(Packetizer *context, Block **block)
{
  return packetizer_Packetize(context, block);
}

namespace {

void
reset_stream_state(Packetizer *p)
{
  p->state = kStateSearchStart;
  p->stream.clear();
  p->offset = 0;
  p->flushing = false;
}

}  // namespace

void
packetizer_prime(Packetizer *p)
{
  if (p->fmt.extra_size <= 0) return;
  if (p->fmt.extra[0] != 0) {
    // ASF-style codec data: a header byte precedes the first start code.
    const size_t rest = static_cast<size_t>(p->fmt.extra_size) - 1;
    uint8_t *shifted = rest ? static_cast<uint8_t *>(g_memdup2(p->fmt.extra + 1, rest)) : nullptr;
    g_free(p->fmt.extra);
    p->fmt.extra = shifted;
    p->fmt.extra_size = static_cast<int32_t>(rest);
    if (!rest) return;
  }
  Block *block = block_Alloc(static_cast<size_t>(p->fmt.extra_size));
  if (!block) return;
  std::memcpy(block->buffer, p->fmt.extra, block->buffer_size);
  p->flushing = true;
  Block *frame = Packetize(p, &block);
  while (frame) {
    block_Release(frame);
    frame = Packetize(p, nullptr);
  }
  reset_stream_state(p);
}

Block *
packetizer_drain(Packetizer *p)
{
  p->flushing = true;
  if (Block *frame = Packetize(p, nullptr)) return frame;
  while (p->in_frame) {
    Block *frame = complete_frame(p);
    if (frame && PacketizeValidate(p, frame)) return frame;
    if (frame) block_Release(frame);
  }
  reset_stream_state(p);
  return nullptr;
}

const EsFormat &
packetizer_format(const Packetizer *context)
{
  return context->fmt;
}

bool
packetizer_interlaced(const Packetizer *context)
{
  return context->interlaced;
}

uint32_t
packetizer_format_serial(const Packetizer *context)
{
  return context->format_serial;
}

void
DecodeRIDU(uint8_t *dst, size_t *dst_size, const uint8_t *src, size_t src_size)
{
  const size_t room = *dst_size;
  size_t out = 0;
  size_t i = 0;
  while (i < src_size && out < room) {
    if (i + 2 < src_size && src[i] == 0 && src[i + 1] == 0 && src[i + 2] == 3 && room - out >= 2) {
      dst[out++] = 0;
      dst[out++] = 0;
      i += 3;
      continue;
    }
    dst[out++] = src[i++];
  }
  *dst_size = out;
}

}  // namespace vc1

// ---------------------------------------------------------------------------------------------
// vc1parse2 element
// ---------------------------------------------------------------------------------------------

namespace {

constexpr gboolean kDefaultSilent = FALSE;
constexpr gint32 kMaxSkippedDeltaFrames = 100;

enum {
  PROP_0,
  PROP_SILENT = 1,
};

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-wmv,wmvversion=3,format=WVC1,width=(int)[1,MAX],height=(int)[1,MAX],"
                    "parsed=true"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-wmv,wmvversion=3,format=WVC1"));

}  // namespace

// Lives from instance init to finalize; fields are touched by the streaming thread only,
// except `silent`, which the object lock guards.
struct VC1ParseState {
  gboolean silent = kDefaultSilent;

  // Per caps: the packetizer and whether a start code has been seen.
  vc1::Packetizer *packetizer = nullptr;
  bool packetizing = false;
  // Announce caps again: new caps arrived upstream or the sequence header changed.
  bool caps_pending = false;
  uint32_t announced_serial = 0;

  // Per segment.
  bool segment_pending = false;
  bool dts_seen = false;

  // Per flush.
  bool first_pushed = false;

  // Over the element's life.
  gint32 skipped_delta_frames = 0;

  ~VC1ParseState() { destroy_packetizer(); }
  void destroy_packetizer() {
    vc1::close_packetizer(packetizer);
    packetizer = nullptr;
  }
};

struct _VC1Parse {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  VC1ParseState *state;
};

G_DEFINE_TYPE(VC1Parse, vc1_parse, GST_TYPE_ELEMENT)

gboolean
vc1_parse_register(GstPlugin *plugin)
{
  return element_register(plugin, "vc1parse2", GST_RANK_SECONDARY, VC1_TYPE_PARSE, &vc1_parse_debug,
                          "vc1parse", "Parses VC1 Stream");
}

static void vc1_parse_finalize(GObject *object);
static void vc1_parse_set_property(GObject *object, guint prop_id, const GValue *value,
                                   GParamSpec *pspec);
static void vc1_parse_get_property(GObject *object, guint prop_id, GValue *value,
                                   GParamSpec *pspec);
static GstStateChangeReturn vc1_parse_change_state(GstElement *element, GstStateChange transition);
static gboolean vc1_parse_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn vc1_parse_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
vc1_parse_class_init(VC1ParseClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = vc1_parse_finalize;
  gobject_class->set_property = vc1_parse_set_property;
  gobject_class->get_property = vc1_parse_get_property;

  g_object_class_install_property(
      gobject_class, PROP_SILENT,
      g_param_spec_boolean("silent", "Silent", "Whether the element shouldn't log anything",
                           kDefaultSilent, kElementPropertyFlags));

  gst_element_class_set_metadata(element_class, "VC1Parse", "Codec/Video/Parser",
                                 "Parses VC1 Stream", "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(vc1_parse_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
vc1_parse_init(VC1Parse *self)
{
  self->state = new VC1ParseState();
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(vc1_parse_chain);
  spec.sink_event = ELEMENT_FUNC(vc1_parse_sink_event);
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
vc1_parse_finalize(GObject *object)
{
  VC1Parse *self = VC1_PARSE(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(vc1_parse_parent_class)->finalize(object);
}

static void
vc1_parse_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  VC1Parse *self = VC1_PARSE(object);
  switch (prop_id) {
    case PROP_SILENT:
      GST_OBJECT_LOCK(self);
      self->state->silent = g_value_get_boolean(value);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void
vc1_parse_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  VC1Parse *self = VC1_PARSE(object);
  switch (prop_id) {
    case PROP_SILENT:
      GST_OBJECT_LOCK(self);
      g_value_set_boolean(value, self->state->silent);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static GstStateChangeReturn
vc1_parse_change_state(GstElement *element, GstStateChange transition)
{
  VC1Parse *self = VC1_PARSE(element);
  VC1ParseState *s = self->state;
  switch (transition) {
    case GST_STATE_CHANGE_READY_TO_NULL:
      s->destroy_packetizer();
      break;
    default:
      break;
  }
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(vc1_parse_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    // A restarted stream gets its segment and leading-frame handling afresh.
    s->segment_pending = false;
    s->dts_seen = false;
    s->first_pushed = false;
  }
  return ret;
}

namespace {

// The packetizer counts microseconds with 0 as unknown. Times are shifted by 1 us so that a
// real zero stays known and the times it interpolates land on whole frame durations from the
// input (a plain division would put everything after a zero start 1 us late).
int64_t
to_packetizer_time(GstClockTime t)
{
  if (!GST_CLOCK_TIME_IS_VALID(t)) return 0;
  return static_cast<int64_t>(t / 1000) + 1;
}

GstClockTime
from_packetizer_time(int64_t us)
{
  if (us <= 0) return GST_CLOCK_TIME_NONE;
  return static_cast<GstClockTime>(us - 1) * 1000;
}

// Durations are not points in time: 0 is unknown and 1 a duration below 1 us.
int64_t
to_packetizer_duration(GstClockTime t)
{
  if (!GST_CLOCK_TIME_IS_VALID(t)) return 0;
  return t < 1000 ? 1 : static_cast<int64_t>(t / 1000);
}

GstClockTime
from_packetizer_duration(int64_t us)
{
  if (us <= 0) return GST_CLOCK_TIME_NONE;
  return us == 1 ? 0 : static_cast<GstClockTime>(us) * 1000;
}

bool
has_start_code(GstBuffer *buffer)
{
  gstref::BufferMap map(buffer, GST_MAP_READ);
  if (!map.ok()) return false;
  const guint8 *data = map.data();
  const gsize size = map.size();
  for (gsize i = 0; i + 2 < size;) {
    const void *z = std::memchr(data + i, 0, size - i - 2);
    if (!z) return false;
    i = static_cast<const guint8 *>(z) - data;
    if (data[i + 1] == 0 && data[i + 2] == 1) return true;
    ++i;
  }
  return false;
}

// The frames go out with times: a segment in any other format (a raw file comes in BYTES) is
// replaced by a TIME segment from zero at the same rate, as parsers do.
void
push_pending_segment(VC1Parse *self)
{
  VC1ParseState *s = self->state;
  if (!s->segment_pending) return;
  s->segment_pending = false;
  GstEvent *event = gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0);
  if (!event) return;
  const GstSegment *in = nullptr;
  gst_event_parse_segment(event, &in);
  if (in->format != GST_FORMAT_TIME) {
    GstSegment time;
    gst_segment_init(&time, GST_FORMAT_TIME);
    time.rate = in->rate;
    time.applied_rate = in->applied_rate;
    GstEvent *replacement = gst_event_new_segment(&time);
    gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
    gst_event_unref(event);
    event = replacement;
  }
  gst_pad_push_event(self->srcpad, event);
}

// Pushes `caps` unless the src pad already has equal ones.
void
push_caps_if_new(VC1Parse *self, gstref::Ref<GstCaps> caps)
{
  gstref::Ref<GstCaps> current = gstref::adopt(gst_pad_get_current_caps(self->srcpad));
  if (current && gst_caps_is_equal(current.get(), caps.get())) return;
  GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT, caps.get());
  gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
}

void
send_packetizer_caps(VC1Parse *self)
{
  VC1ParseState *s = self->state;
  const vc1::EsFormat &fmt = vc1::packetizer_format(s->packetizer);
  gstref::Ref<GstCaps> caps = gstref::adopt(
      gst_caps_new_simple("video/x-wmv", "wmvversion", G_TYPE_INT, 3, "format", G_TYPE_STRING,
                          "WVC1", "parsed", G_TYPE_BOOLEAN, TRUE, nullptr));
  if (fmt.extra_size >= 4) {
    // WVC1 codec data starts with one byte before the sequence header's start code.
    const bool lead = fmt.extra[0] == 0 && fmt.extra[1] == 0 && fmt.extra[2] == 1;
    const gsize size = static_cast<gsize>(fmt.extra_size) + (lead ? 1 : 0);
    GstBuffer *codec_data = gst_buffer_new_allocate(nullptr, size, nullptr);
    {
      gstref::BufferMap map(codec_data, GST_MAP_WRITE);
      if (lead) map.data()[0] = 0;
      std::memcpy(map.data() + (lead ? 1 : 0), fmt.extra, fmt.extra_size);
    }
    gst_caps_set_simple(caps.get(), "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
    gst_buffer_unref(codec_data);
  } else {
    GST_WARNING_OBJECT(self, "Packetizer wasn't able to provide codec data");
  }
  auto fits = [](uint32_t v) { return v <= static_cast<uint32_t>(G_MAXINT); };
  if (fmt.fps_num && fmt.fps_den && fits(fmt.fps_num) && fits(fmt.fps_den))
    gst_caps_set_simple(caps.get(), "framerate", GST_TYPE_FRACTION, gint(fmt.fps_num),
                        gint(fmt.fps_den), nullptr);
  if (fmt.sar_num && fmt.sar_den && fits(fmt.sar_num) && fits(fmt.sar_den))
    gst_caps_set_simple(caps.get(), "pixel-aspect-ratio", GST_TYPE_FRACTION, gint(fmt.sar_num),
                        gint(fmt.sar_den), nullptr);
  if (fmt.width && fmt.height)
    gst_caps_set_simple(caps.get(), "width", G_TYPE_INT, gint(fmt.width), "height", G_TYPE_INT,
                        gint(fmt.height), nullptr);
  gst_caps_set_simple(caps.get(), "interlaced", G_TYPE_BOOLEAN,
                      gboolean(vc1::packetizer_interlaced(s->packetizer)), nullptr);
  s->announced_serial = vc1::packetizer_format_serial(s->packetizer);
  s->caps_pending = false;
  push_caps_if_new(self, std::move(caps));
}

void
release_block(gpointer block)
{
  vc1::block_Release(static_cast<vc1::Block *>(block));
}

// Turns one completed frame into a buffer and pushes it (or drops a leading delta frame).
GstFlowReturn
push_frame(VC1Parse *self, vc1::Block *frame)
{
  VC1ParseState *s = self->state;
  const bool key = frame->flags & vc1::kBlockFlagTypeI;
  // A new sequence header is parsed while the frame before it is handed out; it takes effect
  // with the key frame that follows it.
  if (!gst_pad_has_current_caps(self->srcpad) || s->caps_pending ||
      (key && s->announced_serial != vc1::packetizer_format_serial(s->packetizer)))
    send_packetizer_caps(self);
  push_pending_segment(self);

  // The buffer takes the block over; the block's own release frees it.
  GstBuffer *buffer =
      gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), frame->buffer, frame->buffer_size,
                                  0, frame->buffer_size, frame, release_block);
  GST_BUFFER_PTS(buffer) = from_packetizer_time(frame->pts);
  GST_BUFFER_DTS(buffer) = from_packetizer_time(frame->dts);
  GST_BUFFER_DURATION(buffer) = from_packetizer_duration(frame->length);
  if (key)
    GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  else
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);

  if (!s->first_pushed && !key && s->skipped_delta_frames < kMaxSkippedDeltaFrames) {
    ++s->skipped_delta_frames;
    GST_DEBUG_OBJECT(self, "dropping leading delta frame %d", s->skipped_delta_frames);
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  }
  s->first_pushed = true;
  GST_LOG_OBJECT(self,
                 "frame of %" G_GSIZE_FORMAT " bytes pts %" GST_TIME_FORMAT " dts %" GST_TIME_FORMAT
                 "%s",
                 gst_buffer_get_size(buffer), GST_TIME_ARGS(GST_BUFFER_PTS(buffer)),
                 GST_TIME_ARGS(GST_BUFFER_DTS(buffer)), key ? " key" : "");
  return gst_pad_push(self->srcpad, buffer);
}

// Pushes every frame the packetizer hands out and returns the last result (OK if none). A
// failed push ends the loop: the frames still inside the packetizer wait for the next call.
template <typename Next>
GstFlowReturn
push_frames(VC1Parse *self, Next next)
{
  GstFlowReturn ret = GST_FLOW_OK;
  while (ret == GST_FLOW_OK) {
    vc1::Block *frame = next();
    if (!frame) break;
    ret = push_frame(self, frame);
  }
  return ret;
}

void
release_frames(vc1::Packetizer *packetizer, vc1::Block *block)
{
  vc1::Block *frame = vc1::Packetize(packetizer, &block);
  while (frame) {
    vc1::block_Release(frame);
    frame = vc1::Packetize(packetizer, nullptr);
  }
}

}  // namespace

static gboolean
vc1_parse_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  VC1Parse *self = VC1_PARSE(parent);
  VC1ParseState *s = self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps *caps = nullptr;
      gst_event_parse_caps(event, &caps);
      GST_DEBUG_OBJECT(self, "sink caps %" GST_PTR_FORMAT, caps);
      s->destroy_packetizer();
      const GstStructure *st = gst_caps_get_size(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
      const GValue *value = st ? gst_structure_get_value(st, "codec_data") : nullptr;
      GstBuffer *codec_data =
          value && G_VALUE_HOLDS(value, GST_TYPE_BUFFER) ? gst_value_get_buffer(value) : nullptr;
      gstref::BufferMap map(codec_data, GST_MAP_READ);
      s->packetizer = vc1::open_packetizer(map.data(), map.size());
      vc1::packetizer_prime(s->packetizer);
      s->packetizing = false;
      s->caps_pending = true;
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_SEGMENT:
      s->segment_pending = true;
      s->dts_seen = false;
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_FLUSH_STOP:
      if (s->packetizer) {
        // Resets timestamps only: the next segment starts the clock again.
        vc1::Block *mark = vc1::block_Alloc(0);
        if (mark) {
          mark->flags = vc1::kBlockFlagDiscontinuity;
          release_frames(s->packetizer, mark);
        }
      }
      s->first_pushed = false;
      break;
    case GST_EVENT_EOS:
      // The packetizer holds the last frame until the next one starts: complete it now.
      if (s->packetizer && s->packetizing) {
        push_frames(self, [&] { return vc1::packetizer_drain(s->packetizer); });
        // What a failed push left behind belongs to the stream that ended.
        while (vc1::Block *frame = vc1::packetizer_drain(s->packetizer)) vc1::block_Release(frame);
      }
      push_pending_segment(self);
      break;
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static GstFlowReturn
vc1_parse_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer)
{
  (void)pad;
  VC1Parse *self = VC1_PARSE(parent);
  VC1ParseState *s = self->state;
  gstref::Ref<GstBuffer> in = gstref::adopt(buffer);

  if (!GST_BUFFER_DTS_IS_VALID(in.get()) && !s->dts_seen) {
    // Without any DTS the packetizer never starts: derive one from the segment.
    if (GstEvent *event = gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0)) {
      const GstSegment *segment = nullptr;
      gst_event_parse_segment(event, &segment);
      // A raw file comes in a BYTES segment, which goes out as TIME from zero.
      const GstClockTime start = segment->format == GST_FORMAT_TIME ? segment->start : 0;
      const GstClockTime pts = GST_BUFFER_PTS(in.get());
      in.reset(gst_buffer_make_writable(in.release()));
      GST_BUFFER_DTS(in.get()) = !GST_CLOCK_TIME_IS_VALID(pts) || pts > start ? start : pts;
      gst_event_unref(event);
    }
  }
  if (GST_BUFFER_DTS_IS_VALID(in.get())) s->dts_seen = true;

  if (!s->packetizer) {
    GST_WARNING_OBJECT(self, "Packetizer not initialized");
    return GST_FLOW_ERROR;
  }

  if (!s->packetizing && !has_start_code(in.get())) {
    if (!gst_pad_has_current_caps(self->srcpad) || s->caps_pending) {
      if (GstCaps *sink_caps = gst_pad_get_current_caps(self->sinkpad)) {
        gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_make_writable(sink_caps));
        gst_caps_set_simple(caps.get(), "parsed", G_TYPE_BOOLEAN, TRUE, nullptr);
        s->caps_pending = false;
        push_caps_if_new(self, std::move(caps));
      }
    }
    push_pending_segment(self);
    return gst_pad_push(self->srcpad, in.release());
  }
  s->packetizing = true;

  vc1::Block *block = nullptr;
  {
    gstref::BufferMap map(in.get(), GST_MAP_READ);
    if (!map.ok()) {
      GST_WARNING_OBJECT(self, "cannot map buffer");
      return GST_FLOW_OK;
    }
    block = vc1::block_Alloc(map.size());
    if (!block) {
      GST_WARNING_OBJECT(self, "cannot allocate %" G_GSIZE_FORMAT " bytes", map.size());
      return GST_FLOW_OK;
    }
    if (map.size()) std::memcpy(block->buffer, map.data(), map.size());
  }
  block->pts = to_packetizer_time(GST_BUFFER_PTS(in.get()));
  block->dts = to_packetizer_time(GST_BUFFER_DTS(in.get()));
  block->length = to_packetizer_duration(GST_BUFFER_DURATION(in.get()));
  in.reset();

  bool first = true;
  return push_frames(self, [&]() -> vc1::Block * {
    if (!first) return vc1::Packetize(s->packetizer, nullptr);
    first = false;
    return vc1::Packetize(s->packetizer, &block);
  });
}
