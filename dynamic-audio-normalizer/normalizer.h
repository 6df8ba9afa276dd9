// Stand-in for the Dynamic Audio Normalizer library's MDynamicAudioNormalizer_r8, with the
// same calls, running FFmpeg's libavfilter "dynaudnorm" (the same algorithm) underneath.
//
// Audio goes in and comes out as planes of doubles, one per channel. The engine delays the
// signal by (filter size + 1) frames; processInplace hands back at most as many frames as it
// was given and flushBuffer empties the rest, so that over a stream exactly as many frames come
// out as went in.
//
// Values the engine cannot take are clamped when the object is built, and each clamp is
// described in adjustments(): frame length 10..8000 ms (and at least two samples), filter size
// 3..301 and odd, peak 0..1, maximum gain 1..100, target RMS 0..1, compression 0..30.
//
// allowLimiting: when true, every output sample is additionally clipped to +-peakValue. The
// engine keeps peaks at the peak value by design; the clip guarantees it for DC correction and
// rounding as well. When false the engine's output is passed on as it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class MDynamicAudioNormalizer_r8 {
 public:
  MDynamicAudioNormalizer_r8(uint32_t channels, uint32_t sampleRate, uint32_t frameLenMsec,
                             uint32_t filterSize, double peakValue, double maxAmplification,
                             double targetRms, double compressFactor, bool channelsCoupled,
                             bool enableDCCorrection, bool altBoundaryMode, bool allowLimiting,
                             FILE *logFile = nullptr);
  virtual ~MDynamicAudioNormalizer_r8();
  MDynamicAudioNormalizer_r8(const MDynamicAudioNormalizer_r8 &) = delete;
  MDynamicAudioNormalizer_r8 &operator=(const MDynamicAudioNormalizer_r8 &) = delete;

  // Builds the engine. False when it cannot run (no channels, no rate, out of memory); the
  // other calls then produce nothing.
  bool initialize();
  // Consumes inputSize frames from the planes and writes outputSize (<= inputSize) delayed,
  // normalised frames back to their start.
  bool processInplace(double *const *samplesInOut, int64_t inputSize, int64_t &outputSize);
  // Ends the stream on the first call, then writes up to bufferSize of the remaining frames.
  // Returns true while it produced some.
  bool flushBuffer(double *const *samplesOut, int64_t bufferSize, int64_t &outputSize);
  // Forgets all buffered audio; the object keeps working with the same configuration.
  bool reset();

  // Frames the engine holds back before the first output: (filter size + 1) frames.
  int64_t getInternalDelay() const;
  // Descriptions of the values that were clamped to the engine's ranges.
  const std::vector<std::string> &adjustments() const;

  // The engine's frame length in samples for a rate and a length in ms, after clamping.
  static int64_t frameLengthSamples(uint32_t sampleRate, uint32_t frameLenMsec);

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};
