// Second-order IIR section with the usual bilinear-transform designs.
#pragma once

#include <cstdint>

namespace audio {

// Coefficients and state are public: callers run the recurrence inline in their own loops.
class Biquad {
 public:
  enum Type : int32_t {
    lowpass = 0,
    highpass = 1,
    bandpass = 2,
    notch = 3,
    peak = 4,
    lowshelf = 5,
    highshelf = 6,
  };

  // Pass-through (a0 = 1, everything else 0) until setBiquad is called.
  Biquad() = default;

  // frequency is a fraction of the sample rate (0.5 is Nyquist); Q is unused by the shelves;
  // gain_db is used by peak and the shelves. The filter state is kept.
  void setBiquad(Type type, double frequency, double Q, double gain_db);
  // Recomputes the coefficients; an unknown type leaves them as they are.
  void calcBiquad();

  // Transposed direct form II.
  double process(double x) {
    const double out = x * a0 + z1;
    z1 = x * a1 + z2 - b1 * out;
    z2 = x * a2 - b2 * out;
    return out;
  }

  Type type = lowpass;
  double a0 = 1.0, a1 = 0.0, a2 = 0.0;
  double b1 = 0.0, b2 = 0.0;
  double frequency = 0.5;
  double Q = 0.707;
  double gain_db = 0.0;
  double z1 = 0.0, z2 = 0.0;
};

}  // namespace audio
