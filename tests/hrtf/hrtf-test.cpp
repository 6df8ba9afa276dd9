#include "hrtf/hrtf.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <functional>
#include <msgpack.hpp>
#include <string>

#include "foundation/exception.h"
#include "tests/support/gst-helpers.h"

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

// Base64 of a MessagePack document written by `write`.
fn::String
document(const std::function<void(Packer &)> &write) {
  msgpack::sbuffer buffer;
  Packer pk(buffer);
  write(pk);
  gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(buffer.data()), buffer.size());
  fn::String s(text);
  g_free(text);
  return s;
}

void
key(Packer &pk, const std::string &k) {
  pk.pack_str(static_cast<uint32_t>(k.size()));
  pk.pack_str_body(k.data(), static_cast<uint32_t>(k.size()));
}

// {"azimuth": az, "delay": [dl, dr], "taps": [[t0...], [t1...]]} with float32 taps.
void
entry(Packer &pk, int azimuth, uint64_t dl, uint64_t dr, std::vector<float> left,
      std::vector<float> right) {
  pk.pack_map(3);
  key(pk, "azimuth");
  pk.pack_int(azimuth);
  key(pk, "delay");
  pk.pack_array(2);
  pk.pack_uint64(dl);
  pk.pack_uint64(dr);
  key(pk, "taps");
  pk.pack_array(2);
  for (const auto *taps : {&left, &right}) {
    pk.pack_array(static_cast<uint32_t>(taps->size()));
    for (float t : *taps) pk.pack_float(t);
  }
}

// A one-rate document whose only entry is written by `write_entry`.
fn::String
one_entry(const std::function<void(Packer &)> &write_entry) {
  return document([&](Packer &pk) {
    pk.pack_map(1);
    pk.pack_int(48000);
    pk.pack_array(1);
    write_entry(pk);
  });
}

template <typename E>
std::string
error_of(const fn::String &text) {
  try {
    hrtf::fromString(text);
  } catch (const E &e) {
    return e.what();
  } catch (const std::exception &e) {
    return std::string("wrong exception: ") + e.what();
  }
  return "no exception";
}

TEST(HrtfFromString, ReadsRatesAndEntriesInDocumentOrder) {
  const fn::String text = document([](Packer &pk) {
    pk.pack_map(2);
    for (int rate : {48000, 44100}) {
      pk.pack_int(rate);
      pk.pack_array(2);
      entry(pk, 330, 3, 1, {0.5f, -0.25f}, {1.0f});
      entry(pk, 30, 1, 3, {0.125f}, {0.75f, 0.0f, 2.0f});
    }
  });
  const std::optional<hrtf::Set> set = hrtf::fromString(text);
  ASSERT_TRUE(set);
  ASSERT_EQ(set->size(), 2u);
  for (int rate : {44100, 48000}) {
    const std::vector<hrtf::Entry> &entries = set->at(rate);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].azimuth, 330);
    EXPECT_EQ(entries[0].delay[0], 3u);
    EXPECT_EQ(entries[0].delay[1], 1u);
    EXPECT_EQ(entries[0].taps[0], (std::vector<float>{0.5f, -0.25f}));
    EXPECT_EQ(entries[0].taps[1], (std::vector<float>{1.0f}));
    EXPECT_EQ(entries[1].azimuth, 30);
    EXPECT_EQ(entries[1].taps[1], (std::vector<float>{0.75f, 0.0f, 2.0f}));
  }
}

TEST(HrtfFromString, EmptyMapAndEmptyText) {
  const std::optional<hrtf::Set> empty_map = hrtf::fromString(fn::String("gA=="));  // 0x80
  ASSERT_TRUE(empty_map);
  EXPECT_TRUE(empty_map->empty());
  EXPECT_FALSE(hrtf::fromString(fn::String("")));
}

TEST(HrtfFromString, NumberConversions) {
  // A missing azimuth reads as 0; float64 taps that are exact float32 values are accepted.
  const std::optional<hrtf::Set> set = hrtf::fromString(one_entry([](Packer &pk) {
    pk.pack_map(2);
    key(pk, "delay");
    pk.pack_array(2);
    pk.pack_nil();
    pk.pack_true();
    key(pk, "taps");
    pk.pack_array(2);
    pk.pack_array(1);
    pk.pack_double(0.5);
    pk.pack_array(1);
    pk.pack_int(-2);
  }));
  ASSERT_TRUE(set);
  const hrtf::Entry &e = set->at(48000).at(0);
  EXPECT_EQ(e.azimuth, 0);
  EXPECT_EQ(e.delay[0], 0u);
  EXPECT_EQ(e.delay[1], 1u);
  EXPECT_EQ(e.taps[0].at(0), 0.5f);
  EXPECT_EQ(e.taps[1].at(0), -2.0f);

  const char *kLoss = "Value can not be converted to requested type without loss";
  EXPECT_EQ(error_of<fn::RangeException>(one_entry([](Packer &pk) {
              pk.pack_map(2);
              key(pk, "delay");
              pk.pack_array(2);
              pk.pack_int(0);
              pk.pack_int(0);
              key(pk, "taps");
              pk.pack_array(2);
              pk.pack_array(1);
              pk.pack_double(0.1);
              pk.pack_array(0);
            })),
            kLoss);
  EXPECT_EQ(error_of<fn::RangeException>(one_entry([](Packer &pk) {
              pk.pack_map(2);
              key(pk, "delay");
              pk.pack_array(2);
              pk.pack_int(-1);
              pk.pack_int(0);
              key(pk, "taps");
              pk.pack_array(2);
              pk.pack_array(0);
              pk.pack_array(0);
            })),
            kLoss);
  EXPECT_EQ(error_of<fn::RangeException>(one_entry([](Packer &pk) {
              pk.pack_map(2);
              key(pk, "delay");
              pk.pack_array(2);
              key(pk, "3");
              pk.pack_int(0);
              key(pk, "taps");
              pk.pack_array(2);
              pk.pack_array(0);
              pk.pack_array(0);
            })),
            "Value can not be implicitly converted to integral type");
}

TEST(HrtfFromString, WrongStructureAndHostileSizesAreRefused) {
  const auto entry_with = [](std::function<void(Packer &)> delay,
                             std::function<void(Packer &)> taps) {
    return one_entry([=](Packer &pk) {
      pk.pack_map(3);
      key(pk, "azimuth");
      pk.pack_int(30);
      key(pk, "delay");
      delay(pk);
      key(pk, "taps");
      taps(pk);
    });
  };
  const auto good_delay = [](Packer &pk) {
    pk.pack_array(2);
    pk.pack_int(0);
    pk.pack_int(0);
  };
  const auto good_taps = [](Packer &pk) {
    pk.pack_array(2);
    pk.pack_array(0);
    pk.pack_array(0);
  };
  ASSERT_TRUE(hrtf::fromString(entry_with(good_delay, good_taps)));

  struct Case {
    const char *what;
    fn::String text;
  };
  const std::vector<Case> cases = {
      {"top level array", document([](Packer &pk) { pk.pack_array(0); })},
      {"entries not an array", document([](Packer &pk) {
         pk.pack_map(1);
         pk.pack_int(48000);
         pk.pack_int(1);
       })},
      {"entry not a map", one_entry([](Packer &pk) { pk.pack_int(1); })},
      {"delay missing", one_entry([&](Packer &pk) {
         pk.pack_map(1);
         key(pk, "taps");
         good_taps(pk);
       })},
      {"taps missing", one_entry([&](Packer &pk) {
         pk.pack_map(1);
         key(pk, "delay");
         good_delay(pk);
       })},
      {"short delay", entry_with([](Packer &pk) { pk.pack_array(1), pk.pack_int(0); }, good_taps)},
      {"short taps",
       entry_with(good_delay, [](Packer &pk) { pk.pack_array(1), pk.pack_array(0); })},
      {"taps element not an array", entry_with(good_delay,
                                               [](Packer &pk) {
                                                 pk.pack_array(2);
                                                 pk.pack_float(1.0f);
                                                 pk.pack_array(0);
                                               })},
      {"delay not an array", entry_with([](Packer &pk) { pk.pack_int(0); }, good_taps)},
      {"huge delay", entry_with(
                         [](Packer &pk) {
                           pk.pack_array(2);
                           pk.pack_uint64(4000000000u);
                           pk.pack_int(0);
                         },
                         good_taps)},
      {"too many taps", entry_with(good_delay,
                                   [](Packer &pk) {
                                     pk.pack_array(2);
                                     pk.pack_array(hrtf::kMaxTaps + 1);
                                     for (size_t i = 0; i <= hrtf::kMaxTaps; ++i) pk.pack_float(0);
                                     pk.pack_array(0);
                                   })},
      {"rate zero", document([](Packer &pk) {
         pk.pack_map(1);
         pk.pack_int(0);
         pk.pack_array(0);
       })},
      {"bad base64", fn::String("gA=*")},
  };
  for (const Case &c : cases) {
    const std::string message = error_of<fn::DataFormatException>(c.text);
    EXPECT_NE(message, "no exception") << c.what;
    EXPECT_EQ(message.find("wrong exception"), std::string::npos) << c.what << ": " << message;
  }
}

TEST(HrtfPresets, DefaultSetIsTheHorizontalPlaneOfTheSofaFile) {
  EXPECT_FALSE(hrtf::forPreset(1));
  EXPECT_FALSE(hrtf::forPreset(-1));
  const std::optional<hrtf::Set> set = hrtf::forPreset(0);
  ASSERT_TRUE(set) << "libmysofa1's default.sofa missing";
  ASSERT_EQ(set->size(), 1u);
  const std::vector<hrtf::Entry> &entries = set->at(44100);
  // MIT KEMAR: every 5 degrees at elevation 0, 512 taps per ear.
  ASSERT_EQ(entries.size(), 72u);
  std::vector<bool> seen(360, false);
  for (const hrtf::Entry &e : entries) {
    ASSERT_GE(e.azimuth, 0);
    ASSERT_LT(e.azimuth, 360);
    EXPECT_EQ(e.azimuth % 5, 0);
    seen[e.azimuth] = true;
    EXPECT_EQ(e.taps[0].size(), 512u);
    EXPECT_EQ(e.taps[1].size(), 512u);
  }
  for (int a = 0; a < 360; a += 5) EXPECT_TRUE(seen[a]) << a;
  // A source on the left (90) is louder in the left ear.
  for (const hrtf::Entry &e : entries) {
    if (e.azimuth != 90) continue;
    double left = 0, right = 0;
    for (float t : e.taps[0]) left += double(t) * t;
    for (float t : e.taps[1]) right += double(t) * t;
    EXPECT_GT(left, 2 * right);
  }
}

TEST(HrtfSofaTool, OutputReadsBackAsTheDefaultSet) {
  const testsupport::CommandResult r =
      testsupport::run_command(std::string(HRTF_TOOL) + " " + HRTF_DEFAULT_SOFA);
  ASSERT_EQ(r.status, 0);
  const std::optional<hrtf::Set> read = hrtf::fromString(fn::String(r.output));
  const std::optional<hrtf::Set> preset = hrtf::forPreset(0);
  ASSERT_TRUE(read);
  ASSERT_TRUE(preset);
  ASSERT_EQ(read->size(), preset->size());
  const auto &a = read->at(44100);
  const auto &b = preset->at(44100);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].azimuth, b[i].azimuth);
    EXPECT_EQ(a[i].delay, b[i].delay);
    EXPECT_EQ(a[i].taps, b[i].taps);
  }
  EXPECT_NE(
      testsupport::run_command(std::string(HRTF_TOOL) + " /nonexistent.sofa 2>/dev/null").status,
      0);
}

}  // namespace
