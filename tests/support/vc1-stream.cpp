#include "tests/support/vc1-stream.h"

#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace testsupport::vc1_stream {

namespace {

class Writer {
 public:
  Writer() { gst_bit_writer_init(&w_); }
  ~Writer() { gst_bit_writer_reset(&w_); }
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  void put(guint32 value, guint bits) {
    if (bits) gst_bit_writer_put_bits_uint32(&w_, value, bits);
  }
  void flag(bool value) { put(value ? 1 : 0, 1); }
  void byte(guint8 value) { gst_bit_writer_write_uint8(&w_, value); }
  // Raw-mode bitplane (SMPTE 421M 8.7.1): INVERT 0, IMODE 0000; the bits live in the MB layer.
  void raw_bitplane() { put(0, 1 + 4); }

  // Start code, the fields written so far, the BDU flushing bits (a one, then zeros to the byte
  // boundary, Annex E.2), then `filler` bytes; emulation prevention applied.
  Bytes finish(guint8 suffix, const Bytes &filler = {}) {
    put(1, 1);
    gst_bit_writer_align_bytes(&w_, 0);
    const guint8 *data = gst_bit_writer_get_data(&w_);
    const gsize size = gst_bit_writer_get_size(&w_) / 8;
    Bytes unit;
    unit.reserve(4 + size + filler.size());
    for (guint8 b : {guint8(0), guint8(0), guint8(1), suffix}) unit.push_back(b);
    unit.insert(unit.end(), data, data + size);
    unit.insert(unit.end(), filler.begin(), filler.end());
    return add_emulation_prevention(unit);
  }

 private:
  GstBitWriter w_;
};

Bytes
filler(gsize size, guint8 seed, bool emulation)
{
  Bytes out(size);
  for (gsize i = 0; i < size; ++i) out[i] = static_cast<guint8>((seed * 37 + i * 13) | 0x80);
  // Runs of zeros followed by small values: each needs an emulation-prevention byte.
  if (emulation)
    for (gsize i = 0; i + 3 < size; i += 7) {
      out[i] = 0;
      out[i + 1] = 0;
      out[i + 2] = static_cast<guint8>(i % 4);
    }
  return out;
}

void
write_ptype(Writer &w, Picture type)
{
  switch (type) {
    case Picture::kP:
      w.put(0b0, 1);
      break;
    case Picture::kB:
      w.put(0b10, 2);
      break;
    case Picture::kI:
      w.put(0b110, 3);
      break;
    case Picture::kBI:
      w.put(0b1110, 4);
      break;
    case Picture::kSkipped:
      w.put(0b1111, 4);
      break;
  }
}

constexpr guint kPqindex = 10;  // above 8: no HALFQP, no CONDOVER

void
write_quantizer_fields(Writer &w, const SequenceHeader &seq, const EntryPoint &ep)
{
  w.put(kPqindex, 5);
  if (ep.quantizer == 1) w.put(0, 1);  // PQUANTIZER
  if (seq.postprocflag) w.put(0, 2);   // POSTPROC
}

void
write_intra_tail(Writer &w, const EntryPoint &ep)
{
  w.put(0, 1);                 // TRANSACFRM
  w.put(0, 1);                 // TRANSACFRM2
  w.put(0, 1);                 // TRANSDCTAB
  if (ep.dquant) w.put(0, 1);  // VOPDQUANT: DQUANTFRM 0
}

void
write_inter_tail(Writer &w, const EntryPoint &ep)
{
  w.put(0, 2);  // MVTAB
  w.put(0, 2);  // CBPTAB
  if (ep.dquant) w.put(0, 1);
  if (ep.vstransform) w.put(0, 1);  // TTMBF
  w.put(0, 1);                      // TRANSACFRM
  w.put(0, 1);                      // TRANSDCTAB
}

}  // namespace

void
append(Bytes &out, const Bytes &more)
{
  out.insert(out.end(), more.begin(), more.end());
}

Bytes
add_emulation_prevention(const Bytes &unit)
{
  return nal::add_emulation_prevention(unit.data(), unit.size(), 4);
}

// SMPTE 421M 6.1.
Bytes
sequence_header(const SequenceHeader &seq)
{
  Writer w;
  w.put(3, 2);  // PROFILE advanced
  w.put(seq.level, 3);
  w.put(1, 2);  // COLORDIFF_FORMAT 4:2:0
  w.put(7, 3);  // FRMRTQ_POSTPROC
  w.put(31, 5);
  w.flag(seq.postprocflag);
  w.put(seq.width / 2 - 1, 12);
  w.put(seq.height / 2 - 1, 12);
  w.flag(seq.pulldown);
  w.flag(seq.interlace);
  w.flag(seq.tfcntrflag);
  w.flag(seq.finterpflag);
  w.put(1, 1);  // reserved
  w.flag(seq.psf);
  w.flag(seq.display_ext);
  if (seq.display_ext) {
    w.put(seq.display_width - 1, 14);
    w.put(seq.display_height - 1, 14);
    w.flag(seq.aspect_ratio_flag);
    if (seq.aspect_ratio_flag) {
      w.put(seq.aspect_ratio, 4);
      if (seq.aspect_ratio == 15) {
        w.byte(seq.aspect_width - 1);
        w.byte(seq.aspect_height - 1);
      }
    }
    w.flag(seq.framerate_flag);
    if (seq.framerate_flag) {
      w.flag(seq.framerate_ind);
      if (!seq.framerate_ind) {
        w.byte(seq.frameratenr);
        w.put(seq.frameratedr, 4);
      } else {
        w.put(seq.framerate_exp, 16);
      }
    }
    w.put(0, 1);  // COLOR_FORMAT_FLAG
  }
  w.put(0, 1);  // HRD_PARAM_FLAG
  return w.finish(0x0F);
}

// SMPTE 421M 6.2.
Bytes
entry_point(const SequenceHeader &seq, const EntryPoint &ep)
{
  Writer w;
  w.flag(ep.broken_link);
  w.flag(ep.closed_entry);
  w.flag(ep.panscan_flag);
  w.flag(ep.refdist_flag);
  w.flag(ep.loopfilter);
  w.flag(ep.fastuvmc);
  w.flag(ep.extended_mv);
  w.put(ep.dquant, 2);
  w.flag(ep.vstransform);
  w.flag(ep.overlap);
  w.put(ep.quantizer, 2);
  (void)seq;                        // HRD_PARAM_FLAG was 0: no hrd_full fields
  w.put(0, 1);                      // CODED_SIZE_FLAG
  if (ep.extended_mv) w.put(0, 1);  // EXTENDED_DMV
  w.put(0, 1);                      // RANGE_MAPY_FLAG
  w.put(0, 1);                      // RANGE_MAPUV_FLAG
  return w.finish(0x0E);
}

// SMPTE 421M 7.1.1 picture headers, advanced profile.
Bytes
frame(const SequenceHeader &seq, const EntryPoint &ep, const FrameSpec &spec)
{
  Writer w;
  if (seq.interlace) {
    switch (spec.coding) {
      case Coding::kProgressive:
        w.put(0b0, 1);
        break;
      case Coding::kFrameInterlace:
        w.put(0b10, 2);
        break;
      case Coding::kFieldInterlace:
        w.put(0b11, 2);
        break;
    }
  }
  const bool field_coded = seq.interlace && spec.coding == Coding::kFieldInterlace;
  if (field_coded)
    w.put(spec.fptype, 3);
  else
    write_ptype(w, spec.type);
  if (seq.tfcntrflag) w.byte(0);  // TFCNTR
  if (seq.pulldown) {
    if (!seq.interlace || seq.psf)
      w.put(0, 2);  // RPTFRM
    else
      w.put(0b10, 2);  // TFF, RFF
  }
  if (ep.panscan_flag) w.put(0, 1);  // PS_PRESENT
  if (!field_coded && spec.type == Picture::kSkipped)
    return w.finish(0x0D, filler(spec.payload, spec.seed, spec.emulation));

  w.put(0, 1);                     // RNDCTRL
  if (seq.interlace) w.put(0, 1);  // UVSAMP
  if (field_coded) {
    if (ep.refdist_flag && spec.fptype <= 3) w.put(0, 2);  // REFDIST
    if (spec.fptype >= 4) w.put(0, 3);                     // BFRACTION 1/2
    // Field picture layer of the first field (7.1.1.x): PQINDEX and on.
    write_quantizer_fields(w, seq, ep);
    if (spec.fptype <= 2) {
      w.raw_bitplane();  // ACPRED
      write_intra_tail(w, ep);
    } else {
      w.put(0, 1);  // NUMREF
      w.put(0, 1);  // REFFIELD
      w.put(0, 3);  // MVMODE
      w.put(0, 3);  // MBMODETAB
      write_inter_tail(w, ep);
    }
  } else {
    if (seq.finterpflag && spec.coding == Coding::kProgressive) w.put(0, 1);  // INTERPFRM
    if (spec.type == Picture::kB && spec.coding == Coding::kProgressive)
      w.put(0, 3);  // BFRACTION 1/2
    write_quantizer_fields(w, seq, ep);
    const bool intra = spec.type == Picture::kI || spec.type == Picture::kBI;
    if (intra) {
      if (spec.coding == Coding::kFrameInterlace) w.raw_bitplane();  // FIELDTX
      w.raw_bitplane();                                              // ACPRED
      write_intra_tail(w, ep);
    } else {
      if (ep.extended_mv) w.put(0, 1);  // MVRANGE
      if (spec.type == Picture::kP) {
        w.put(0b1, 1);  // MVMODE: 1MV
      } else {
        w.put(0, 1);       // MVMODE
        w.raw_bitplane();  // DIRECTMB
      }
      w.raw_bitplane();  // SKIPMB
      write_inter_tail(w, ep);
    }
  }
  return w.finish(0x0D, filler(spec.payload, spec.seed, spec.emulation));
}

Bytes
field(gsize payload, guint8 seed)
{
  Writer w;
  w.put(kPqindex, 5);
  w.raw_bitplane();
  return w.finish(0x0C, filler(payload, seed, false));
}

Bytes
slice(guint slice_address, gsize payload, guint8 seed)
{
  Writer w;
  w.put(slice_address, 9);  // SLICE_ADDR
  w.put(0, 1);              // PIC_HEADER_FLAG
  return w.finish(0x0B, filler(payload, seed, false));
}

Bytes
user_data(guint8 type, gsize payload)
{
  Bytes unit = {0, 0, 1, type};
  for (gsize i = 0; i < payload; ++i) unit.push_back(static_cast<guint8>('a' + i % 26));
  unit.push_back(0x80);  // flushing byte
  return unit;
}

Bytes
end_of_sequence()
{
  return {0, 0, 1, 0x0A};
}

}  // namespace testsupport::vc1_stream
