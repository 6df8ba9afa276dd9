#include "foundation/bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

fn::String
sha(const std::string &text) {
  return fn::ByteView(text.data(), text.size()).SHA256Hex();
}

// FIPS 180-4 example vectors.
TEST(ByteView, SHA256HexMatchesKnownVectors) {
  EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // A view of part of a buffer hashes only that part.
  const std::string padded = "xxabcxx";
  EXPECT_EQ(fn::ByteView(padded.data() + 2, 3).SHA256Hex(), sha("abc"));
}

TEST(ByteArray, GrowsKeepingContents) {
  fn::ByteArray a;
  for (int i = 0; i < 1000; ++i) a.append(static_cast<uint8_t>(i));
  ASSERT_EQ(a.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a[i], static_cast<uint8_t>(i)) << i;

  // Appending a range of itself while it has to grow.
  fn::ByteArray b("abc", 3);
  b.append(b.data(), b.size());
  b.append(b.data() + 1, 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(b.data()), b.size()), "abcabcbc");

  fn::ByteArray c = b;
  c.resize(10);
  EXPECT_EQ(c[8], 0);
  EXPECT_EQ(c[9], 0);
  c.resize(2);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(c.data()), c.size()), "ab");
  EXPECT_EQ(b.size(), 8u);  // copies are independent

  fn::ByteArray moved = std::move(b);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(moved.size(), 8u);
  EXPECT_EQ(fn::ByteArray(5), fn::ByteArray("\0\0\0\0\0", 5));
}

}  // namespace
