// HRTF sets: horizontal-plane head-related impulse responses, possibly at several sample rates,
// read from their text form (Base64 over MessagePack) or from a SOFA file.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "foundation/string.h"

namespace hrtf {

// Bounds on what a set may hold, so that hostile text cannot make the downmixer allocate
// without limit: measured HRIRs are a few hundred taps and interaural delays below a
// millisecond, so these leave ample room for long room responses and absolute delays.
constexpr size_t kMaxTaps = 16384;  // per ear
constexpr size_t kMaxDelay = 8192;  // samples
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 192000;

// One measured direction.
struct Entry {
  int azimuth = 0;  // degrees, counted from straight ahead towards the left (90 = left)
  std::array<size_t, 2> delay{};           // samples; [0] left ear, [1] right ear
  std::array<std::vector<float>, 2> taps;  // impulse responses; [0] left ear, [1] right ear
};

// Sample rate in Hz -> the entries measured at that rate, in document order.
using Set = std::map<int, std::vector<Entry>>;

// Decodes the text form: Base64 of a MessagePack map {rate: [{"azimuth", "delay": [l, r],
// "taps": [[...], [...]]}, ...]}. Absent when the text holds no MessagePack value. Raises
// fn::RangeException for numbers that do not convert without loss and fn::DataFormatException
// for bad Base64, a wrong structure or values beyond the limits above.
std::optional<Set> fromString(const fn::String &text);

// The text form of a set (float32 taps); fromString reads it back unchanged.
fn::String toString(const Set &set);

// Built-in sets: 0 is the horizontal plane of the system's default SOFA file (MIT KEMAR in
// Debian's libmysofa1); absent for other numbers or when that file cannot be read.
std::optional<Set> forPreset(int preset);

// The horizontal-plane (elevation 0) measurements of a SOFA file (SimpleFreeFieldHRIR: two
// receivers, one emitter), every azimuth, with the file's delays or 0. Raises
// fn::DataFormatException when the file cannot be read or has no usable measurement.
Set fromSofa(const char *path);

}  // namespace hrtf
