// Biquad designs after the bilinear transform of the analogue prototypes (shelves after Zoelzer,
// with S = sqrt(2)).
#include "transcoding-plugins/common/biquad.h"

#include <cmath>

namespace audio {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSqrt2 = 1.4142135623730951;

}  // namespace

void
Biquad::setBiquad(Type new_type, double new_frequency, double new_q, double new_gain_db)
{
  type = new_type;
  frequency = new_frequency;
  Q = new_q;
  gain_db = new_gain_db;
  calcBiquad();
}

void
Biquad::calcBiquad()
{
  const double V = std::pow(10.0, std::fabs(gain_db) / 20.0);
  const double K = std::tan(kPi * frequency);
  const double K2 = K * K;
  const double sqrt2V = std::sqrt(2.0 * V);
  double norm;
  switch (type) {
    case lowpass:
      norm = 1.0 / (1.0 + K / Q + K2);
      a0 = K2 * norm;
      a1 = 2.0 * a0;
      a2 = a0;
      b1 = 2.0 * (K2 - 1.0) * norm;
      b2 = (1.0 - K / Q + K2) * norm;
      break;
    case highpass:
      norm = 1.0 / (1.0 + K / Q + K2);
      a0 = norm;
      a1 = -2.0 * a0;
      a2 = a0;
      b1 = 2.0 * (K2 - 1.0) * norm;
      b2 = (1.0 - K / Q + K2) * norm;
      break;
    case bandpass:
      norm = 1.0 / (1.0 + K / Q + K2);
      a0 = K / Q * norm;
      a1 = 0.0;
      a2 = -a0;
      b1 = 2.0 * (K2 - 1.0) * norm;
      b2 = (1.0 - K / Q + K2) * norm;
      break;
    case notch:
      norm = 1.0 / (1.0 + K / Q + K2);
      a0 = (1.0 + K2) * norm;
      a1 = 2.0 * (K2 - 1.0) * norm;
      a2 = a0;
      b1 = a1;
      b2 = (1.0 - K / Q + K2) * norm;
      break;
    case peak:
      if (gain_db >= 0.0) {
        norm = 1.0 / (1.0 + K / Q + K2);
        a0 = (1.0 + V * K / Q + K2) * norm;
        a1 = 2.0 * (K2 - 1.0) * norm;
        a2 = (1.0 - V * K / Q + K2) * norm;
        b1 = a1;
        b2 = (1.0 - K / Q + K2) * norm;
      } else {
        norm = 1.0 / (1.0 + V * K / Q + K2);
        a0 = (1.0 + K / Q + K2) * norm;
        a1 = 2.0 * (K2 - 1.0) * norm;
        a2 = (1.0 - K / Q + K2) * norm;
        b1 = a1;
        b2 = (1.0 - V * K / Q + K2) * norm;
      }
      break;
    case lowshelf:
      if (gain_db >= 0.0) {
        norm = 1.0 / (1.0 + kSqrt2 * K + K2);
        a0 = (1.0 + sqrt2V * K + V * K2) * norm;
        a1 = 2.0 * (V * K2 - 1.0) * norm;
        a2 = (1.0 - sqrt2V * K + V * K2) * norm;
        b1 = 2.0 * (K2 - 1.0) * norm;
        b2 = (1.0 - kSqrt2 * K + K2) * norm;
      } else {
        norm = 1.0 / (1.0 + sqrt2V * K + V * K2);
        a0 = (1.0 + kSqrt2 * K + K2) * norm;
        a1 = 2.0 * (K2 - 1.0) * norm;
        a2 = (1.0 - kSqrt2 * K + K2) * norm;
        b1 = 2.0 * (V * K2 - 1.0) * norm;
        b2 = (1.0 - sqrt2V * K + V * K2) * norm;
      }
      break;
    case highshelf:
      if (gain_db >= 0.0) {
        norm = 1.0 / (1.0 + kSqrt2 * K + K2);
        a0 = (V + sqrt2V * K + K2) * norm;
        a1 = 2.0 * (K2 - V) * norm;
        a2 = (V - sqrt2V * K + K2) * norm;
        b1 = 2.0 * (K2 - 1.0) * norm;
        b2 = (1.0 - kSqrt2 * K + K2) * norm;
      } else {
        norm = 1.0 / (V + sqrt2V * K + K2);
        a0 = (1.0 + kSqrt2 * K + K2) * norm;
        a1 = 2.0 * (K2 - 1.0) * norm;
        a2 = (1.0 - kSqrt2 * K + K2) * norm;
        b1 = 2.0 * (K2 - V) * norm;
        b2 = (V - sqrt2V * K + K2) * norm;
      }
      break;
    default:
      break;
  }
}

}  // namespace audio
