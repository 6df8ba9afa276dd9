// The VC-1 packetizer inside vc1-parse.cpp, exposed for its tests and fuzz target only.
//
// Cuts a start-code delimited VC-1 stream (SMPTE 421M Annex E) into frames, prefixes key frames
// with the sequence header and entry point, and builds the codec data. Times are microseconds,
// 0 or less meaning unknown.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>

namespace vc1 {

inline constexpr uint32_t kBlockFlagDiscontinuity = 0x1;
inline constexpr uint32_t kBlockFlagTypeI = 0x2;
inline constexpr uint32_t kBlockFlagTypeP = 0x4;
inline constexpr uint32_t kBlockFlagTypeB = 0x8;
inline constexpr uint32_t kBlockFlagTypeMask = 0xE;
inline constexpr uint32_t kBlockFlagCorrupted = 0x1000;

// One allocation holds this header and the payload area behind it.
struct Block {
  Block *next;
  uint8_t *buffer;
  size_t buffer_size;
  uint8_t *start;
  size_t area_size;
  uint32_t flags;
  int64_t pts;
  int64_t dts;
  int64_t length;
  void (*release)(Block *);
};

Block *block_Alloc(size_t size);
void block_generic_Release(Block *block);
inline void
block_Release(Block *block)
{
  block->release(block);
}
void block_ChainRelease(Block *chain);
// One block holding the chain's bytes, flags, pts and dts of the first block and the summed
// lengths; releases the chain. Null (and the chain released) if the allocation fails.
Block *block_ChainGather(Block *chain);

struct EsFormat {
  int32_t extra_size;
  uint8_t *extra;
  uint32_t width, height;
  uint32_t sar_num, sar_den;
  uint32_t fps_num, fps_den;
};
void es_format_clear(EsFormat *format);

struct Packetizer;

// A context primed with nothing; `codec_data` becomes the initial extra data.
Packetizer *open_packetizer(const uint8_t *codec_data, size_t size);
void close_packetizer(Packetizer *context);

// Feeds *block (taken over, *block cleared) or nothing, and returns one completed frame or null.
Block *Packetize(Packetizer *context, Block **block);
void PacketizeReset(Packetizer *context, bool flush);
// The caps' codec data as the element primes it: a leading header byte before the first start
// code is dropped, the units are parsed, and the stream state is reset.
void packetizer_prime(Packetizer *context);
// End of stream: cuts the bytes after the last start code into a final unit and completes the
// frame in progress. Call until it returns null; the stream state is then reset.
Block *packetizer_drain(Packetizer *context);

const EsFormat &packetizer_format(const Packetizer *context);
bool packetizer_interlaced(const Packetizer *context);
// Counts changes of the extra data, so the element can tell when to announce new caps.
uint32_t packetizer_format_serial(const Packetizer *context);

// Emulation-prevention removal: 00 00 03 becomes 00 00. *dst_size is the room in, the bytes
// written out.
void DecodeRIDU(uint8_t *dst, size_t *dst_size, const uint8_t *src, size_t src_size);

}  // namespace vc1
