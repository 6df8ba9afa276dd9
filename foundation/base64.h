// fn::Base64Decoder: strict standard Base64 (RFC 4648 section 4) as a stream transform.
//
// Accepted: the standard alphabet, ASCII whitespace anywhere (skipped), a final group with its
// "=" padding or without it. Rejected with DataFormatException: any other character, "=" where
// it cannot stand (in the first two places of a group, or followed by data), too much padding,
// and a final group of a single character. GLib does the decoding proper; it would skip bad
// characters silently and drop an unpadded tail, so everything is checked before it sees it.
#pragma once

#include <glib.h>

#include <cstdint>

#include "foundation/stream.h"

namespace fn {

class Base64Decoder : public StreamTransform {
 public:
  void update(ByteView input, ByteArray &out) override;
  void finish(ByteArray &out) override;

 private:
  void decode(const char *text, size_t size, ByteArray &out);

  uint64_t offset_ = 0;      // characters seen, for messages
  uint64_t data_chars_ = 0;  // alphabet characters seen
  int padding_ = 0;          // '=' seen
  gint state_ = 0;           // g_base64_decode_step's state
  guint save_ = 0;
};

}  // namespace fn
