// HRTF sets: the text form and the built-in set from the system's SOFA file.
#include "hrtf/hrtf.h"

#include <glib.h>
#include <mysofa.h>

#include <cmath>
#include <memory>
#include <msgpack.hpp>
#include <string>

#include "foundation/base64.h"
#include "foundation/exception.h"
#include "foundation/mpack.h"
#include "foundation/stream.h"
#include "foundation/value.h"

namespace hrtf {

namespace {

[[noreturn]] void
fail(const std::string &message) {
  throw fn::DataFormatException("HRTF: " + message);
}

// The array under `key` of an entry, with at least two elements (left and right ear).
const fn::Value::Array &
earPair(const fn::Value &entry, const char *key) {
  const fn::Value &v = entry[key];
  if (v.isNil()) fail(std::string("entry has no \"") + key + "\"");
  if (!v.isArray()) fail(std::string("\"") + key + "\" is not an array");
  if (v.size() < 2) fail(std::string("\"") + key + "\" needs two elements, one per ear");
  return v.asArray();
}

Entry
readEntry(const fn::Value &value) {
  if (!value.isMap()) fail("an entry is not a map");
  Entry entry;
  entry.azimuth = value["azimuth"].asNumber<int>();
  const fn::Value::Array &delay = earPair(value, "delay");
  const fn::Value::Array &taps = earPair(value, "taps");
  for (size_t ear = 0; ear < 2; ++ear) {
    entry.delay[ear] = delay[ear].asNumber<size_t>();
    if (entry.delay[ear] > kMaxDelay)
      fail("delay " + std::to_string(entry.delay[ear]) + " exceeds " + std::to_string(kMaxDelay));
    if (!taps[ear].isArray()) fail("a \"taps\" element is not an array");
    const fn::Value::Array &samples = taps[ear].asArray();
    if (samples.size() > kMaxTaps)
      fail(std::to_string(samples.size()) + " taps exceed " + std::to_string(kMaxTaps));
    std::vector<float> &out = entry.taps[ear];
    out.reserve(samples.size());
    for (const fn::Value &s : samples) out.push_back(s.asNumber<float>());
  }
  return entry;
}

struct SofaDeleter {
  void operator()(MYSOFA_HRTF *h) const { mysofa_free(h); }
};

}  // namespace

std::optional<Set>
fromString(const fn::String &text) {
  fn::MemoryInputStream source(fn::to_string_view(text));
  fn::Base64Decoder base64;
  fn::TransformInputStream decoded(source, base64);
  fn::mpack::Deserializer deserializer(decoded);
  std::optional<fn::Value> document = deserializer.deserialize();
  if (!document) return std::nullopt;
  if (!document->isMap()) fail("the document is not a map of sample rates");

  Set set;
  for (const auto &[key, value] : document->asMap()) {
    const int rate = key.asNumber<int>();
    if (rate < kMinRate || rate > kMaxRate)
      fail("sample rate " + std::to_string(rate) + " is outside " + std::to_string(kMinRate) +
           " to " + std::to_string(kMaxRate));
    if (!value.isArray()) fail("the entries of a rate are not an array");
    std::vector<Entry> entries;
    entries.reserve(value.size());
    for (const fn::Value &e : value.asArray()) entries.push_back(readEntry(e));
    set[rate] = std::move(entries);
  }
  return set;
}

fn::String
toString(const Set &set) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_map(static_cast<uint32_t>(set.size()));
  for (const auto &[rate, entries] : set) {
    pk.pack_int(rate);
    pk.pack_array(static_cast<uint32_t>(entries.size()));
    for (const Entry &e : entries) {
      pk.pack_map(3);
      pk.pack_str(7);
      pk.pack_str_body("azimuth", 7);
      pk.pack_int(e.azimuth);
      pk.pack_str(5);
      pk.pack_str_body("delay", 5);
      pk.pack_array(2);
      pk.pack_uint64(e.delay[0]);
      pk.pack_uint64(e.delay[1]);
      pk.pack_str(4);
      pk.pack_str_body("taps", 4);
      pk.pack_array(2);
      for (const std::vector<float> &taps : e.taps) {
        pk.pack_array(static_cast<uint32_t>(taps.size()));
        for (float t : taps) pk.pack_float(t);
      }
    }
  }
  gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(buffer.data()), buffer.size());
  fn::String result(text);
  g_free(text);
  return result;
}

Set
fromSofa(const char *path) {
  int err = 0;
  std::unique_ptr<MYSOFA_HRTF, SofaDeleter> sofa(mysofa_load(path, &err));
  if (!sofa || err != MYSOFA_OK)
    fail(std::string("cannot read SOFA file ") + path + " (libmysofa error " + std::to_string(err) +
         ")");
  MYSOFA_HRTF &h = *sofa;
  if (h.R != 2 || h.C != 3 || h.M == 0 || h.N == 0 || h.DataIR.elements != h.M * h.R * h.N ||
      h.SourcePosition.elements != h.M * h.C || h.DataSamplingRate.elements < 1)
    fail(std::string(path) + " is not a two-ear impulse-response set");
  const double rate_value = h.DataSamplingRate.values[0];
  if (!(rate_value >= kMinRate && rate_value <= kMaxRate) || std::trunc(rate_value) != rate_value)
    fail(std::string(path) + ": unsupported sample rate " + std::to_string(rate_value));
  if (h.N > kMaxTaps) fail(std::string(path) + ": impulse responses longer than the limit");
  // Converts cartesian source positions; spherical ones are left as they are.
  mysofa_tospherical(&h);

  // Data.Delay is given per receiver (IR) or per measurement and receiver (MR).
  const bool per_measurement = h.DataDelay.elements == h.M * h.R;
  const bool shared = h.DataDelay.elements == h.R;
  std::vector<Entry> entries;
  for (unsigned m = 0; m < h.M; ++m) {
    const float *position = h.SourcePosition.values + size_t{m} * h.C;
    if (std::fabs(position[1]) > 0.5f) continue;  // elevation
    Entry entry;
    double azimuth = std::fmod(static_cast<double>(position[0]), 360.0);
    if (azimuth < 0) azimuth += 360.0;
    entry.azimuth = static_cast<int>(std::lround(azimuth)) % 360;
    for (unsigned ear = 0; ear < 2; ++ear) {
      const float *ir = h.DataIR.values + (size_t{m} * h.R + ear) * h.N;
      entry.taps[ear].assign(ir, ir + h.N);
      float delay = 0.0f;
      if (per_measurement)
        delay = h.DataDelay.values[size_t{m} * h.R + ear];
      else if (shared)
        delay = h.DataDelay.values[ear];
      if (!(delay >= 0.0f && delay <= kMaxDelay)) fail(std::string(path) + ": delay out of range");
      entry.delay[ear] = static_cast<size_t>(std::lround(delay));
    }
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) fail(std::string(path) + " has no measurement at elevation 0");
  Set set;
  set[static_cast<int>(rate_value)] = std::move(entries);
  return set;
}

std::optional<Set>
forPreset(int preset) {
  if (preset != 0) return std::nullopt;
  // Read once per process: the file does not change while we run.
  static const std::optional<Set> kDefault = []() -> std::optional<Set> {
    try {
      return fromSofa(HRTF_DEFAULT_SOFA);
    } catch (const fn::Exception &e) {
      g_warning("no built-in HRTF set: %s", e.what());
      return std::nullopt;
    }
  }();
  return kDefault;
}

}  // namespace hrtf
