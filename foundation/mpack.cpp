#include "foundation/mpack.h"

#include <fmt/format.h>

#include <algorithm>
#include <msgpack.hpp>
#include <vector>

#include "foundation/exception.h"

namespace fn::mpack {
namespace {

// Builds the tree while msgpack-cxx's parser walks the bytes. The parser itself keeps no
// per-element state, and we reserve nothing on the strength of a declared count.
class Builder : public msgpack::null_visitor {
 public:
  explicit Builder(const Limits &limits) : limits_(limits) {
    // Frames hold the slots that open containers are built in: no reallocation may move them.
    frames_.reserve(limits.max_depth + 1);
  }

  Value take() { return std::move(root_); }
  bool failed() const { return failed_; }

  bool visit_nil() { return add(Value()); }
  bool visit_boolean(bool v) { return add(Value(v)); }
  bool visit_positive_integer(uint64_t v) { return add(Value(v)); }
  bool visit_negative_integer(int64_t v) { return add(Value(v)); }
  bool visit_float32(float v) { return add(Value(v)); }
  bool visit_float64(double v) { return add(Value(v)); }
  bool visit_str(const char *v, uint32_t size) { return add(Value(String(v, size))); }
  bool visit_bin(const char *v, uint32_t size) { return add(Value(ByteArray(v, size))); }
  bool visit_ext(const char *, uint32_t) { return add(Value()); }

  bool start_array(uint32_t) { return open(Value(Value::Array{}), false); }
  bool end_array() { return close(); }
  bool start_map(uint32_t) { return open(Value(Value::Map{}), true); }
  bool start_map_key() {
    frames_.back().key_next = true;
    return true;
  }
  bool start_map_value() {
    frames_.back().key_next = false;
    return true;
  }
  bool end_map() { return close(); }

  void parse_error(size_t, size_t) { failed_ = true; }
  void insufficient_bytes(size_t, size_t) { failed_ = true; }

 private:
  struct Frame {
    Value *container;
    bool is_map;
    bool key_next = false;
    Value key;  // a map key being read, kept until its value arrives
  };

  // Stores v where the document puts it and returns its address.
  Value *place(Value &&v) {
    if (++values_ > limits_.max_values)
      throw DataFormatException(
          fmt::format("MessagePack document has more than {} values", limits_.max_values));
    if (frames_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Frame &f = frames_.back();
    if (!f.is_map) {
      Value::Array &array = f.container->asArray();
      array.push_back(std::move(v));
      return &array.back();
    }
    if (f.key_next) {
      f.key = std::move(v);
      return &f.key;
    }
    Value::Map &map = f.container->asMap();
    map.emplace_back(std::move(f.key), std::move(v));
    f.key = Value();
    return &map.back().second;
  }

  bool add(Value &&v) {
    place(std::move(v));
    return true;
  }

  bool open(Value &&container, bool is_map) {
    if (frames_.size() >= limits_.max_depth)
      throw DataFormatException(
          fmt::format("MessagePack nesting deeper than {} levels", limits_.max_depth));
    Value *slot = place(std::move(container));
    frames_.push_back(Frame{slot, is_map, false, Value()});
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  const Limits &limits_;
  Value root_;
  std::vector<Frame> frames_;
  size_t values_ = 0;
  bool failed_ = false;
};

}  // namespace

void
Deserializer::load() {
  loaded_ = true;
  uint8_t chunk[64 * 1024];
  for (;;) {
    const size_t n = stream_.read(chunk, sizeof chunk);
    if (n == 0) break;
    if (input_.size() + n > limits_.max_input_bytes)
      throw DataFormatException(
          fmt::format("MessagePack input longer than {} bytes", limits_.max_input_bytes));
    input_.append(chunk, n);
  }
}

std::optional<Value>
Deserializer::deserialize() {
  if (!loaded_) load();
  if (offset_ >= input_.size()) return std::nullopt;
  Builder builder(limits_);
  size_t offset = offset_;
  bool ok = false;
  try {
    ok = msgpack::parse(reinterpret_cast<const char *>(input_.data()), input_.size(), offset,
                        builder);
  } catch (...) {
    offset_ = input_.size();
    throw;
  }
  if (!ok || builder.failed()) {
    offset_ = input_.size();
    return std::nullopt;
  }
  offset_ = offset;
  return builder.take();
}

}  // namespace fn::mpack
