#include "transcoding-plugins/common/biquad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace {

using audio::Biquad;

constexpr double kPi = 3.141592653589793;

// Magnitude of the filter's transfer function at `f` (fraction of the sample rate), measured
// as the DFT of its impulse response.
double
measured_gain(Biquad filter, double f, int length = 1 << 15)
{
  filter.z1 = filter.z2 = 0.0;
  std::complex<double> sum;
  for (int n = 0; n < length; ++n) {
    const double h = filter.process(n == 0 ? 1.0 : 0.0);
    sum += h * std::polar(1.0, -2.0 * kPi * f * n);
  }
  return std::abs(sum);
}

struct Response {
  Biquad::Type type;
  double gain_db;
  // Expected |H| at DC, at the corner and at Nyquist, from the analogue prototypes.
  double dc, corner, nyquist;
};

class BiquadResponseTest : public ::testing::TestWithParam<Response> {};

constexpr double kCorner = 0.1;
constexpr double kQ = 2.0;
const double kV = std::pow(10.0, 9.0 / 20.0);
// Shelves at the corner: |1 - V + j sqrt(2V)| / |j sqrt(2)| = sqrt((1 + V^2) / 2).
const double kShelfCorner = std::sqrt((1.0 + kV * kV) / 2.0);

TEST_P(BiquadResponseTest, MagnitudeMatchesPrototype)
{
  const Response &r = GetParam();
  Biquad filter;
  filter.setBiquad(r.type, kCorner, kQ, r.gain_db);
  EXPECT_NEAR(measured_gain(filter, 0.0), r.dc, 1e-6);
  EXPECT_NEAR(measured_gain(filter, kCorner), r.corner, 1e-6);
  EXPECT_NEAR(measured_gain(filter, 0.5), r.nyquist, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Designs, BiquadResponseTest,
    ::testing::Values(Response{Biquad::lowpass, 0.0, 1.0, kQ, 0.0},
                      Response{Biquad::highpass, 0.0, 0.0, kQ, 1.0},
                      Response{Biquad::bandpass, 0.0, 0.0, 1.0, 0.0},
                      Response{Biquad::notch, 0.0, 1.0, 0.0, 1.0},
                      Response{Biquad::peak, 9.0, 1.0, kV, 1.0},
                      Response{Biquad::peak, -9.0, 1.0, 1.0 / kV, 1.0},
                      Response{Biquad::peak, 0.0, 1.0, 1.0, 1.0},
                      Response{Biquad::lowshelf, 9.0, kV, kShelfCorner, 1.0},
                      Response{Biquad::lowshelf, -9.0, 1.0 / kV, 1.0 / kShelfCorner, 1.0},
                      Response{Biquad::highshelf, 9.0, 1.0, kShelfCorner, kV},
                      Response{Biquad::highshelf, -9.0, 1.0, 1.0 / kShelfCorner, 1.0 / kV}));

TEST(BiquadTest, Constructed_PassesThroughUnchanged)
{
  Biquad filter;
  for (double x : {0.5, -1.0, 0.25, 3.0, 0.0}) EXPECT_EQ(filter.process(x), x);
}

TEST(BiquadTest, UnknownType_KeepsCoefficientsAndState)
{
  Biquad filter;
  filter.setBiquad(Biquad::lowpass, 0.2, 0.707, 0.0);
  filter.process(1.0);
  const Biquad before = filter;
  filter.setBiquad(static_cast<Biquad::Type>(7), 0.3, 1.0, 6.0);
  EXPECT_EQ(filter.a0, before.a0);
  EXPECT_EQ(filter.a1, before.a1);
  EXPECT_EQ(filter.b2, before.b2);
  // A new design does not reset the running state either.
  filter.setBiquad(Biquad::highpass, 0.1, 0.707, 0.0);
  EXPECT_EQ(filter.z1, before.z1);
  EXPECT_EQ(filter.z2, before.z2);
}

}  // namespace
