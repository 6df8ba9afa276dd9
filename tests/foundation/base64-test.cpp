#include "foundation/base64.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "foundation/exception.h"
#include "foundation/stream.h"

namespace {

// Decodes text through the streams, reading in pieces of `step` bytes.
std::string
decode(const std::string &text, size_t step = 3) {
  fn::MemoryInputStream memory(text);
  fn::Base64Decoder decoder;
  fn::TransformInputStream stream(memory, decoder);
  std::string out;
  char buf[64];
  while (size_t n = stream.read(buf, std::min(step, sizeof buf))) out.append(buf, n);
  return out;
}

std::string
error(const std::string &text) {
  try {
    decode(text);
    return "";
  } catch (const fn::DataFormatException &e) {
    return e.what();
  }
}

// RFC 4648 section 10.
TEST(Base64Decoder, DecodesTheStandardVectors) {
  EXPECT_EQ(decode(""), "");
  EXPECT_EQ(decode("Zg=="), "f");
  EXPECT_EQ(decode("Zm8="), "fo");
  EXPECT_EQ(decode("Zm9v"), "foo");
  EXPECT_EQ(decode("Zm9vYg=="), "foob");
  EXPECT_EQ(decode("Zm9vYmE="), "fooba");
  EXPECT_EQ(decode("Zm9vYmFy"), "foobar");
  // Unpadded final groups and whitespace (line-wrapped text) are accepted.
  EXPECT_EQ(decode("Zm9vYg"), "foob");
  EXPECT_EQ(decode("Zm9vYmE"), "fooba");
  EXPECT_EQ(decode(" Zm9v\r\nYmE =\n"), "fooba");
  EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64Decoder, AgreesWithGLibOnLargeInputReadInAnyPieces) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>(i * 7 + (i >> 8)));
  for (size_t cut : {data.size(), data.size() - 1, data.size() - 2}) {
    const std::string part = data.substr(0, cut);
    gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(part.data()), part.size());
    EXPECT_EQ(decode(text, 1000), part);
    EXPECT_EQ(decode(text, 7), part);
    g_free(text);
  }
}

TEST(Base64Decoder, RejectsMalformedText) {
  EXPECT_EQ(error("Zm9v!mFy"), "Invalid Base64 character 0x21 at offset 4");
  EXPECT_EQ(error("Zm9v-_"), "Invalid Base64 character 0x2d at offset 4");  // URL alphabet
  EXPECT_EQ(error("Zm9\xc3\xa9"), "Invalid Base64 character 0xc3 at offset 3");
  EXPECT_EQ(error("Zg==Zg=="), "Base64 data after padding at offset 4");
  EXPECT_EQ(error("Z==="), "Misplaced Base64 padding at offset 1");
  EXPECT_EQ(error("=Zg="), "Misplaced Base64 padding at offset 0");
  EXPECT_EQ(error("Zg==="), "Misplaced Base64 padding at offset 4");
  EXPECT_EQ(error("Zg="), "Incomplete Base64 padding");
  EXPECT_EQ(error("Zm9vY"), "Truncated Base64 data");
}

}  // namespace
