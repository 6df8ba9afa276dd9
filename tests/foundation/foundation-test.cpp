// The foundation: counted handles, the lock, logging, the POSIX wrappers, values, MessagePack,
// Base64 and bytes. Run under ThreadSanitizer as well.
#include <fcntl.h>
#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <msgpack.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/auto-ptr.h"
#include "foundation/base64.h"
#include "foundation/lock.h"
#include "foundation/logging.h"
#include "foundation/mpack.h"
#include "foundation/posix.h"
#include "foundation/value.h"

// Counts how often it is formatted.
struct Expensive {
  int *formatted;
};
template <>
struct fmt::formatter<Expensive> : fmt::formatter<int> {
  auto format(const Expensive &e, auto &ctx) const {
    return fmt::formatter<int>::format(++*e.formatted, ctx);
  }
};

namespace {

bool g_revived = false;

struct Tracked : fn::RefCountedObject {
  explicit Tracked(int *destroyed) : destroyed(destroyed) {}
  // A lookup that races with the last release must not resurrect the object.
  ~Tracked() override { ++*destroyed, g_revived = fn::AutoPtr<Tracked>::borrow(this) != nullptr; }
  int *destroyed;
};

// Copies, borrows, moves and upcasts, also from several threads at once, keep the counts of
// counted and mini objects exact; the object goes exactly once, with the last handle.
TEST(AutoPtr, CountsStayExact_AcrossCopiesMovesAndThreads) {
  int destroyed = 0;
  fn::AutoPtr<Tracked> tracked = fn::makeAuto<Tracked>(&destroyed);
  Tracked *raw = tracked.get();
  fn::AutoPtr<fn::RefCountedObject> base = tracked, moved = std::move(tracked);
  moved = base;  // the same object: no change
  EXPECT_TRUE(!tracked && raw->referenceCount() == 2);
  GstBuffer *buffer = gst_buffer_new();
  fn::AutoPtr<GstBuffer> shared_buffer(buffer);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        fn::AutoPtr<fn::RefCountedObject> a = base, b = decltype(a)::borrow(a.get());
        fn::AutoPtr<GstBuffer> c = shared_buffer;
        // A shared buffer is not writable: the handle must not hide shared ownership.
        if (gst_buffer_is_writable(buffer)) ADD_FAILURE() << "writable while shared";
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_TRUE(raw->referenceCount() == 2 && GST_MINI_OBJECT_REFCOUNT_VALUE(buffer) == 1);
  fn::AutoPtr<GstBuffer> handed_on(shared_buffer.release());
  moved = nullptr;
  EXPECT_EQ(destroyed, 0);
  base.reset();
  EXPECT_TRUE(destroyed == 1 && !g_revived);
  EXPECT_THROW(*moved, fn::NullPointerException);
}

// Plain data guarded only by the lock: a lost update or, under ThreadSanitizer, a reported race
// means it does not exclude.
TEST(LockBase, ExcludesUnderContention) {
  fn::LockBase lock;
  long counter = 0;
  constexpr int kThreads = 6, kIterations = 20000;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (ready++; ready < kThreads;) std::this_thread::yield();
      for (int i = 0; i < kIterations; ++i) {
        fn::ScopedLock guard(lock);
        // Yielding inside now and then makes the others pile up on the slow path.
        const long seen = counter;
        if (i % 16 == 0) std::this_thread::yield();
        counter = seen + 1;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, long{kThreads} * kIterations);
}

std::string g_log;

void
capture(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint,
        GObject *, GstDebugMessage *message, gpointer) {
  const std::string_view name = gst_debug_category_get_name(category),
                         level_name = gst_debug_level_get_name(level);
  if (name == "fntest" || name == "fn.exception")
    g_log += fmt::format("{} {}|", level_name.substr(0, level_name.find(' ')),
                         gst_debug_message_get(message));
}

// Syslog priorities map onto GStreamer levels; thresholds set by name before the category
// exists (as GST_DEBUG does) and changed at run time apply; arguments of a line below the
// threshold are never formatted; unhandled exceptions are reported at ERROR.
TEST(Logging, ThresholdsFilter_FormattingIsLazy_UnhandledExceptionsReported) {
  gst_debug_add_log_function(capture, nullptr, nullptr);
  gst_debug_set_threshold_for_name("fntest", GST_LEVEL_LOG);
  gst_debug_set_threshold_for_name("fn.exception", GST_LEVEL_ERROR);
  auto &category = fn::logging::CategoryManager::instance().getCategory("fntest");
  int object = 0, formatted = 0;
  for (int priority = 1; priority <= 8; ++priority)
    FN_LOG(category, priority, nullptr, "", "p{}", priority);
  FN_LOG(category, 7, &object, "tag", "read {} bytes, hash {}", 32768, Expensive{&formatted});
  gst_debug_set_threshold_for_name("fntest", GST_LEVEL_WARNING);
  FN_LOG(category, 5, nullptr, "", "{}", Expensive{&formatted});
  for (auto thrower :
       {+[] { throw fn::RangeException("lost"); }, +[] { throw std::runtime_error("plain"); }}) {
    try {
      thrower();
    } catch (...) {
      fn::unhandledException();
    }
  }
  gst_debug_remove_log_function(capture);
  gst_debug_unset_threshold_for_name("fntest");
  gst_debug_unset_threshold_for_name("fn.exception");
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(g_log, fmt::format("ERROR p1|ERROR p2|ERROR p3|WARN p4|INFO p5|INFO p6|DEBUG p7|"
                               "DEBUG <{}> [tag] read 32768 bytes, hash 1|"
                               "ERROR Unhandled exception: RangeException: lost|"
                               "ERROR Unhandled exception: std::runtime_error: plain|",
                               static_cast<void *>(&object)));
}

int g_interrupts = 0;

// Each wrapper returns the call's result and leaves its errno; an interrupted open or read is
// repeated; descriptors are close-on-exec.
TEST(Posix, ResultsAndErrnoPassThrough_InterruptedCallsRepeat) {
  gchar *path = nullptr;
  const int tmp = g_file_open_tmp("fn-posix-XXXXXX", &path, nullptr);
  ASSERT_EQ(write(tmp, "0123456789", 10), 10);
  ::close(tmp);
  // Every open and read fails with EINTR twice before it runs.
  static const fn::posix::testing::Calls interrupting = {
      [](const char *p, int o, mode_t m) {
        return ++g_interrupts % 3 ? (errno = EINTR, -1) : ::open(p, o, m);
      },
      [](int fd, void *b, size_t n) {
        return ++g_interrupts % 3 ? (errno = EINTR, -1) : ::read(fd, b, n);
      }};
  fn::posix::testing::setCalls(&interrupting);
  const int fd = fn::posix::open(path, O_RDONLY);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  char a[8] = {};
  EXPECT_EQ(fn::posix::lseek(fd, 4, SEEK_SET), 4);
  EXPECT_EQ(fn::posix::read(fd, a, sizeof a), 6);
  EXPECT_STREQ(a, "456789");
  EXPECT_EQ(g_interrupts, 6);
  fn::posix::testing::setCalls(nullptr);
  EXPECT_EQ(fn::posix::close(fd), 0);
  unlink(path);
  struct stat st;
  const iovec one = {a, 1};
  // Braced initialisers run in order: each errno is read right after its call.
  // clang-format off
  const std::pair<long, int> failures[] = {
      {fn::posix::read(fd, a, 1), errno}, {fn::posix::readv(fd, &one, 1), errno},
      {fn::posix::lseek(fd, 0, SEEK_SET), errno}, {fn::posix::fstat(fd, &st), errno},
      {fn::posix::close(fd), errno}, {fn::posix::open(path, O_RDONLY), errno}};
  // clang-format on
  const int errors[] = {EBADF, EBADF, EBADF, EBADF, EBADF, ENOENT};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(failures[i], std::pair(-1L, errors[i])) << i;
  g_free(path);
}

using Number = std::optional<long double>;

// What `v` converts to as T; nothing when it cannot convert exactly.
template <typename T>
Number
as(const fn::Value &v) {
  try {
    return v.asNumber<T>();
  } catch (const fn::RangeException &) {
    return std::nullopt;
  }
}

// A number converts only when nothing is lost: no wrap, no rounding, no NaN, no sign change;
// non-numbers never do.
TEST(Value, NumbersConvertOnlyWithoutLoss) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = HUGE_VAL;
  constexpr int64_t kInt = std::numeric_limits<int>::max(), k64 = INT64_MAX;
  const struct {
    fn::Value v;
    Number (*to)(const fn::Value &);
    Number want;
  } cases[] = {
      // clang-format off
      {fn::Value::NIL, as<float>, 0}, {true, as<size_t>, 1}, {uint64_t{44100}, as<int>, 44100},
      {kInt, as<int>, kInt}, {-kInt - 1, as<int>, -kInt - 1}, {kInt + 1, as<int>, {}},
      {-kInt - 2, as<int>, {}}, {UINT64_MAX, as<int>, {}}, {-1, as<size_t>, {}},
      {UINT64_MAX, as<size_t>, SIZE_MAX}, {1ull << 32, as<uint32_t>, {}},
      // Integers to floating point only when the value survives the round trip; the last
      // ones round up to 2^64 and 2^63, beyond the source types.
      {16777216, as<float>, 16777216}, {16777217, as<float>, {}}, {1ll << 53, as<double>, 0x1p53},
      {(1ll << 53) + 1, as<double>, {}}, {-k64 - 1, as<float>, -0x1p63},
      {UINT64_MAX, as<float>, {}}, {k64, as<double>, {}},
      // float32 stays float32; float64 converts to float only when exactly single precision.
      {0.1f, as<float>, 0.1f}, {double{0.1f}, as<float>, 0.1f}, {0.1, as<float>, {}},
      {1e300, as<float>, {}}, {1e-300, as<float>, {}}, {kInf, as<float>, kInf},
      {kNaN, as<float>, {}}, {float(kNaN), as<double>, {}},
      // To integers: integral, in range, with the right sign.
      {-2.0f, as<int>, -2}, {-0.0, as<size_t>, 0}, {2.5, as<int>, {}}, {-1.0, as<size_t>, {}},
      {2147483648.0, as<int>, {}}, {-2147483648.0, as<int>, -kInt - 1}, {kInf, as<int>, {}},
      {0x1p63, as<int64_t>, {}}, {0x1p63, as<uint64_t>, 0x1p63}, {0x1p64, as<uint64_t>, {}},
      {float(kNaN), as<int>, {}}, {"3", as<int>, {}}, {fn::ByteArray(1), as<float>, {}},
      // clang-format on
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].to(cases[i].v), cases[i].want) << "case " << i;
}

// Map lookups take the last of repeated keys and match integer keys of either kind; misuse is a
// DataFormatException, never a crash; copies are deep; the order is total and agrees with ==.
TEST(Value, StructureAccessAndOrder) {
  fn::Value entry(fn::Value::Map{
      {"azimuth", 30}, {"delay", fn::Value::Array{1u, 2u}}, {7, "seven"}, {"azimuth", 330}});
  EXPECT_EQ(entry["azimuth"].asNumber<int>(), 330);
  EXPECT_TRUE(entry[fn::Value(7u)].asString() == "seven" && entry["taps"].isNil());
  for (auto misuse :
       {+[](const fn::Value &e) { e.at("taps"); }, +[](const fn::Value &e) { e["delay"][2]; },
        +[](const fn::Value &e) { e["delay"][-1]; }, +[](const fn::Value &e) { e["delay"]["x"]; },
        +[](const fn::Value &e) { e["azimuth"][0]; }, +[](const fn::Value &e) { e.asString(); }})
    EXPECT_THROW(misuse(entry), fn::DataFormatException);
  fn::Value copy = entry;
  copy.asMap()[0].second = fn::Value(1);
  EXPECT_EQ(entry.asMap()[0].second.asNumber<int>(), 30);
  // clang-format off
  const fn::Value ordered[] = {{}, false, true, INT64_MIN, -1, 0u, UINT64_MAX, -1.5, 0.25f,
      std::numeric_limits<double>::quiet_NaN(), "", "a", "b", fn::ByteArray("\x80", 1),
      fn::Value::Array{}, fn::Value::Array{1}, fn::Value::Map{}, fn::Value::Map{{1, 2}}};
  // clang-format on
  for (size_t i = 0; i < std::size(ordered); ++i)
    for (size_t j = 0; j < std::size(ordered); ++j)
      EXPECT_TRUE((ordered[i] < ordered[j]) == (i < j) && (ordered[i] == ordered[j]) == (i == j))
          << i << " " << j;
  EXPECT_TRUE(fn::Value(5) == fn::Value(5u) && fn::Value(0.5f) == fn::Value(0.5));
}

// Reads `text` through the Base64 decoder in pieces of `step` bytes.
std::string
decode(const std::string &text, size_t step = 3) {
  fn::MemoryInputStream memory(text);
  fn::Base64Decoder decoder;
  fn::TransformInputStream stream(memory, decoder);
  std::string out(step, '\0'), all;
  while (size_t n = stream.read(out.data(), step)) all.append(out, 0, n);
  return all;
}

// RFC 4648 section 10, unpadded and line-wrapped text, read in pieces; malformed text is refused
// with where.
TEST(Base64Decoder, DecodesStrictly) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9vYmFy", "foobar"}, {"Zm9vYg", "foob"},
      {" Zm9v\r\nYmE =\n", "fooba"}, {"+/+/", "\xfb\xff\xbf"}, {"Zm9vY", "Truncated Base64 data"},
      {"Zm9v!mFy", "Invalid Base64 character 0x21 at offset 4"},
      {"Zg==Zg==", "Base64 data after padding at offset 4"}, {"Zg=", "Incomplete Base64 padding"},
      {"Z===", "Misplaced Base64 padding at offset 1"},
      {"Zg===", "Misplaced Base64 padding at offset 4"},
      {std::string(8000, 'A'), std::string(6000, 0)}};
  // clang-format on
  for (const auto &[text, want] : cases) {
    try {
      EXPECT_EQ(decode(text), want) << text;
    } catch (const fn::DataFormatException &e) {
      EXPECT_EQ(e.what(), want) << text;
    }
  }
}

std::optional<fn::Value>
read(const std::string &data, fn::mpack::Limits limits = {}) {
  fn::MemoryInputStream stream(data);
  return fn::mpack::Deserializer(stream, limits).deserialize();
}

// Every kind, nested, as successive values.
TEST(Deserializer, ReadsEveryKind) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_nil().pack(true).pack(int64_t{-9000000000}).pack(0.1).pack(std::string("h\0llo", 5));
  pk.pack_bin(3).pack_bin_body("\x00\xff\x10", 3);
  // A map with an array key, float32 taps, an extension value and an unsigned key.
  pk.pack_map(2).pack(std::vector<int>{1, 2}).pack_map(2).pack("taps");
  pk.pack(std::vector<float>{0.5f, 0.1f}).pack("note").pack_ext(2, 7).pack_ext_body("\x01\x02", 2);
  pk.pack(48000).pack(-30);
  fn::MemoryInputStream stream(buffer.data(), buffer.size());
  fn::mpack::Deserializer d(stream);
  std::vector<fn::Value> v;
  while (std::optional<fn::Value> value = d.deserialize()) v.push_back(std::move(*value));
  ASSERT_EQ(v.size(), 7u);
  EXPECT_TRUE(v[0].isNil() && v[1].asBool() && v[2].asNumber<int64_t>() == -9000000000);
  EXPECT_TRUE(v[3].type() == fn::Value::Type::Float64 &&
              v[4].asString() == fn::String("h\0llo", 5));
  EXPECT_EQ(v[5].asBinary(), fn::ByteArray("\x00\xff\x10", 3));
  const fn::Value &entry = v[6][fn::Value::Array{1, 2}];
  EXPECT_TRUE(entry["taps"][1].type() == fn::Value::Type::Float32 && entry["note"].isNil());
  EXPECT_EQ(entry["taps"][1].asNumber<float>(), 0.1f);
  EXPECT_TRUE(v[6].size() == 2 && v[6].asMap()[1].first.type() == fn::Value::Type::UnsignedInteger);
  EXPECT_EQ(v[6][fn::Value(48000)].asNumber<int>(), -30);
}

// Truncated, reserved or oversized input gives no value, deep nesting and exceeded budgets an
// error; neither allocates what a hostile count declares. After a bad value nothing follows.
TEST(Deserializer, HostileInput_NoValueOrAnError) {
  const struct {
    std::string bytes;
    fn::mpack::Limits limits;
    int want;  // 1 a value, 0 none, -1 an error
  } cases[] = {
      // clang-format off
      {"", {}, 0}, {"\x92\x01", {}, 0}, {"\xa5hel", {}, 0}, {"\xc1", {}, 0},
      {"\xdd\xff\xff\xff\xff", {}, 0}, {"\xdf\xff\xff\xff\xff\x01", {}, 0},
      {"\xdb\xff\xff\xff\xff" "abc", {}, 0}, {"\x93\x01\x02\x03", {.max_values = 3}, -1},
      {std::string(100000, '\x91') + '\x01', {}, -1}, {std::string(64, '\x91') + '\x01', {}, 1},
      {std::string(100, '\xc0'), {.max_input_bytes = 99}, -1}, {"\xc6\xff\xff\xff\xff", {}, 0},
      // clang-format on
  };
  for (const auto &c : cases) {
    int got = -1;
    try {
      got = read(c.bytes, c.limits).has_value();
    } catch (const fn::DataFormatException &) {
    }
    EXPECT_EQ(got, c.want) << testing::PrintToString(c.bytes.substr(0, 8));
  }
  fn::MemoryInputStream stream(std::string_view("\x01\x92\x01"));
  fn::mpack::Deserializer d(stream);
  EXPECT_EQ(d.deserialize()->asNumber<int>(), 1);
  EXPECT_FALSE(d.deserialize() || d.deserialize());
}

// Byte arrays grow keeping their contents, also when appending a range of themselves.
TEST(Bytes, AppendsRangesOfItselfWhileGrowing) {
  fn::ByteArray b("abc", 3);
  std::string want = "abc";
  for (int i = 0; i < 1000; ++i) b.append(b.data() + i, 2), want += want.substr(i, 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(b.data()), b.size()), want);
}

}  // namespace
