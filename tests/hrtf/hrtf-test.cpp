#include "hrtf/hrtf.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <msgpack.hpp>
#include <numeric>
#include <sstream>
#include <string>

#include "foundation/exception.h"
#include "tests/support/gst-helpers.h"

namespace {

// Packs one value written in a JSON-like notation: {key: value, ...}, [a, b], "text", nil,
// true, integers, 0.5f (float32), 0.5 (float64); `x*n` repeats an array element n times.
void
pack(const char *&p, msgpack::sbuffer &out)
{
  msgpack::packer<msgpack::sbuffer> pk(out);
  if (*p == '[' || *p == '{') {
    const bool map = *p++ == '{';
    msgpack::sbuffer items;
    uint32_t n = 0;
    while (*p != (map ? '}' : ']')) {
      if ((*p == ',' || *p == ':' || g_ascii_isspace(*p)) && ++p) continue;
      const char *start = p;
      pack(p, items);
      ++n;
      if (*p != '*') continue;
      char *end;
      for (long copies = strtol(p + 1, &end, 10); copies > 1; --copies, ++n) {
        const char *again = start;
        pack(again, items);
      }
      p = end;
    }
    ++p;
    map ? pk.pack_map(n / 2) : pk.pack_array(n);
    out.write(items.data(), items.size());
  } else if (*p == '"') {
    const size_t length = strchr(p + 1, '"') - p - 1;
    pk.pack_str(uint32_t(length)).pack_str_body(p + 1, uint32_t(length));
    p += length + 2;
  } else if (!strncmp(p, "nil", 3) || !strncmp(p, "true", 4)) {
    *p == 'n' ? pk.pack_nil() : pk.pack_true();
    p += *p == 'n' ? 3 : 4;
  } else {
    char *end;
    const double v = g_ascii_strtod(p, &end);
    if (*end == 'f') pk.pack_float(float(v));
    else if (memchr(p, '.', end - p)) pk.pack_double(v);
    else if (*p == '-') pk.pack_int64(g_ascii_strtoll(p, nullptr, 10));
    else pk.pack_uint64(g_ascii_strtoull(p, nullptr, 10));
    p = end + (*end == 'f');
  }
}

// Per rate the entries as "azimuth dl/dr [taps] [taps]".
std::string
describe(const hrtf::Set &set)
{
  std::ostringstream out;
  for (const auto &[rate, entries] : set) {
    out << rate << ":";  // rates in ascending order
    for (const hrtf::Entry &e : entries) {
      out << " " << e.azimuth << " " << e.delay[0] << "/" << e.delay[1];
      for (const auto &taps : e.taps) {
        out << " [";
        for (float t : taps) out << " " << t;
        out << "]";
      }
    }
  }
  return out.str();
}

// What fromString makes of a document (Base64 of its MessagePack; "=" starts raw text):
// "absent", the exception, or the set described.
std::string
read(const char *notation)
{
  std::string text = notation + 1;
  if (*notation != '=') {
    msgpack::sbuffer buffer;
    pack(notation, buffer);
    const auto *bytes = reinterpret_cast<const guchar *>(buffer.data());
    text = std::unique_ptr<gchar, decltype(&g_free)>(g_base64_encode(bytes, buffer.size()), g_free)
               .get();
  }
  try {
    const std::optional<hrtf::Set> set = hrtf::fromString(fn::String(text));
    return set ? describe(*set) : "absent";
  } catch (const fn::RangeException &e) {
    return std::string("range: ") + e.what();
  } catch (const fn::DataFormatException &) {
    return "refused";
  }
}

TEST(HrtfFromString, ReadsEntriesAndRefusesWrongStructures)
{
  const char *kLoss = "range: Value can not be converted to requested type without loss";
  const std::pair<const char *, std::string> kCases[] = {
      // Rates in order, entries in document order.
      {R"({48000: [{"azimuth": 330, "delay": [3, 1], "taps": [[0.5f, -0.25f], [1f]]},
                   {"azimuth": 30, "delay": [1, 3], "taps": [[0.125f], [0.75f, 0f, 2f]]}],
           44100: [{"azimuth": 90, "delay": [0, 0], "taps": [[], [2f]]}]})",
       "44100: 90 0/0 [] [ 2]48000: 330 3/1 [ 0.5 -0.25] [ 1] 30 1/3 [ 0.125] [ 0.75 0 2]"},
      {"{}", ""},
      {"=", "absent"},
      // A missing azimuth reads as 0; nil and true as numbers; float64 taps that are exact
      // float32 values and integers are accepted.
      {R"({48000: [{"delay": [nil, true], "taps": [[0.5], [-2]]}]})", "48000: 0 0/1 [ 0.5] [ -2]"},
      {R"({48000: [{"delay": [0, 0], "taps": [[0.1], []]}]})", kLoss},
      {R"({48000: [{"delay": [-1, 0], "taps": [[], []]}]})", kLoss},
      {R"({48000: [{"delay": ["3", 0], "taps": [[], []]}]})",
       "range: Value can not be implicitly converted to integral type"},
      // Wrong structures and hostile sizes.
      {"[]", "refused"},
      {"{48000: 1}", "refused"},
      {"{48000: [1]}", "refused"},
      {R"({48000: [{"taps": [[], []]}]})", "refused"},
      {R"({48000: [{"delay": [0, 0]}]})", "refused"},
      {R"({48000: [{"delay": [0], "taps": [[], []]}]})", "refused"},
      {R"({48000: [{"delay": [0, 0], "taps": [[]]}]})", "refused"},
      {R"({48000: [{"delay": [0, 0], "taps": [1f, []]}]})", "refused"},
      {R"({48000: [{"delay": 0, "taps": [[], []]}]})", "refused"},
      {R"({48000: [{"delay": [4000000000, 0], "taps": [[], []]}]})", "refused"},
      {R"({48000: [{"delay": [0, 0], "taps": [[0f*16385], []]}]})", "refused"},
      {"{0: []}", "refused"},
      {"=gA=*", "refused"},
  };
  for (const auto &[notation, expected] : kCases) EXPECT_EQ(read(notation), expected) << notation;
}

// The built-in set is the horizontal plane of the system's SOFA file (MIT KEMAR: every 5
// degrees, 512 taps per ear, a source on the left louder in the left ear), and the conversion
// tool writes the same set.
TEST(HrtfPresets, DefaultSetIsTheHorizontalPlaneOfTheSofaFile)
{
  EXPECT_FALSE(hrtf::forPreset(1) || hrtf::forPreset(-1));
  const std::optional<hrtf::Set> set = hrtf::forPreset(0);
  ASSERT_TRUE(set) << "libmysofa1's default.sofa missing";
  const std::vector<hrtf::Entry> &entries = set->at(44100);
  ASSERT_EQ(entries.size(), 72u);
  std::vector<bool> seen(360, false);
  for (const hrtf::Entry &e : entries) {
    ASSERT_TRUE(e.azimuth >= 0 && e.azimuth < 360 && e.azimuth % 5 == 0) << e.azimuth;
    seen[e.azimuth] = true;
    EXPECT_TRUE(e.taps[0].size() == 512 && e.taps[1].size() == 512) << e.azimuth;
    const auto &[l, r] = e.taps;
    EXPECT_TRUE(e.azimuth != 90 || std::inner_product(l.begin(), l.end(), l.begin(), 0.0) >
                                       2 * std::inner_product(r.begin(), r.end(), r.begin(), 0.0));
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 72);

  const auto r = testsupport::run_command(HRTF_TOOL " " HRTF_DEFAULT_SOFA);
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(read(("=" + r.output).c_str()) == describe(*set)) << "the tool writes the same set";
  EXPECT_NE(testsupport::run_command(HRTF_TOOL " /nonexistent.sofa 2>/dev/null").status, 0);
}

}  // namespace
