#include "transcoding-plugins/common/biquad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

namespace {

using audio::Biquad;

constexpr double kTau = 2 * 3.141592653589793;
constexpr double kCorner = 0.1;
constexpr double kQ = 2.0;
const double kV = std::pow(10.0, 9.0 / 20.0);
// Shelves at the corner: |1 - V + j sqrt(2V)| / |j sqrt(2)| = sqrt((1 + V^2) / 2).
const double kShelf = std::sqrt((1.0 + kV * kV) / 2.0);
const auto kUnknown = static_cast<Biquad::Type>(7);

// |H| at `f` (fraction of the sample rate), as the DFT of the impulse response.
double
measured_gain(Biquad filter, double f)
{
  std::complex<double> sum;
  for (int n = 0; n < 32768; ++n) sum += filter.process(n == 0) * std::polar(1.0, -kTau * f * n);
  return std::abs(sum);
}

// |H| at DC, at the corner and at Nyquist matches the analogue prototypes. An unknown type
// keeps the coefficients it finds: a new filter passes everything through, and a designed one
// keeps its design.
TEST(BiquadTest, MagnitudeMatchesPrototype)
{
  const struct {
    Biquad::Type type;
    double gain_db, dc, corner, nyquist;
  } kCases[] = {
      {kUnknown, 0.0, 1.0, 1.0, 1.0},
      {Biquad::lowpass, 0.0, 1.0, kQ, 0.0},
      {Biquad::highpass, 0.0, 0.0, kQ, 1.0},
      {Biquad::bandpass, 0.0, 0.0, 1.0, 0.0},
      {Biquad::notch, 0.0, 1.0, 0.0, 1.0},
      {Biquad::peak, 9.0, 1.0, kV, 1.0},
      {Biquad::peak, -9.0, 1.0, 1.0 / kV, 1.0},
      {Biquad::peak, 0.0, 1.0, 1.0, 1.0},
      {Biquad::lowshelf, 9.0, kV, kShelf, 1.0},
      {Biquad::lowshelf, -9.0, 1.0 / kV, 1.0 / kShelf, 1.0},
      {Biquad::highshelf, 9.0, 1.0, kShelf, kV},
      {Biquad::highshelf, -9.0, 1.0, 1.0 / kShelf, 1.0 / kV},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.gain_db);
    Biquad filter;
    filter.setBiquad(c.type, kCorner, kQ, c.gain_db);
    filter.setBiquad(kUnknown, 0.3, 1.0, 6.0);
    EXPECT_NEAR(measured_gain(filter, 0.0), c.dc, 1e-6);
    EXPECT_NEAR(measured_gain(filter, kCorner), c.corner, 1e-6);
    EXPECT_NEAR(measured_gain(filter, 0.5), c.nyquist, 1e-6);
  }
}

}  // namespace
