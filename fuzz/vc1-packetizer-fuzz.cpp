// Feeds arbitrary codec data and arbitrary chunks with random flags and timestamps to the VC-1
// packetizer, draining at random points.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/vc1-packetizer.h"

namespace {

// A frame must start with a start code and hold at least the unit header.
void
check_frame(vc1::Block *frame)
{
  fuzzinput::check(frame->buffer_size >= 4 && frame->buffer[0] == 0 && frame->buffer[1] == 0 &&
                   frame->buffer[2] == 1 && !frame->next);
  vc1::block_Release(frame);
}

}  // namespace

// Misuse of block_generic_Release is a critical: make it a crash the fuzzer reports.
FUZZ_ELEMENT(nullptr, G_TYPE_NONE, true)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  size_t codec_size = in.byte() % 64;
  const uint8_t *codec = in.take(&codec_size);
  vc1::Packetizer *p = vc1::open_packetizer(codec, codec_size);
  vc1::packetizer_prime(p);
  const vc1::EsFormat &fmt = vc1::packetizer_format(p);
  fuzzinput::check(fmt.extra_size >= 0 && (fmt.extra_size == 0 || fmt.extra));

  int64_t clock = 0;
  while (in.size) {
    const uint8_t control = in.byte();
    size_t n = in.byte();
    const uint8_t *bytes = in.take(&n);
    vc1::Block *block = vc1::block_Alloc(n);
    if (n) std::memcpy(block->buffer, bytes, n);
    if (control & 0x01) block->flags |= vc1::kBlockFlagDiscontinuity;
    if (control & 0x02) block->flags |= vc1::kBlockFlagCorrupted;
    clock += (control >> 4) * 20000;
    if (control & 0x04) block->dts = clock;
    if (control & 0x08) block->pts = clock + 40000;
    for (vc1::Block *f = vc1::Packetize(p, &block); f; f = vc1::Packetize(p, nullptr))
      check_frame(f);
    fuzzinput::check(!block);
    if ((control & 0xF0) == 0xF0)
      while (vc1::Block *f = vc1::packetizer_drain(p)) check_frame(f);
    if ((control & 0xF0) == 0xE0) vc1::PacketizeReset(p, control & 0x01);
  }
  while (vc1::Block *f = vc1::packetizer_drain(p)) check_frame(f);
  vc1::close_packetizer(p);
  return 0;
}
