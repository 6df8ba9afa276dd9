#include "dynamic-audio-normalizer/normalizer.h"

#include <cstdint>  // before the FFmpeg headers, which use the fixed-width types
extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// The engine's option ranges (FFmpeg 5.1 af_dynaudnorm).
constexpr uint32_t kMinFrameMs = 10;
constexpr uint32_t kMaxFrameMs = 8000;
constexpr uint32_t kMinFilter = 3;
constexpr uint32_t kMaxFilter = 301;
constexpr double kMaxGain = 100.0;
constexpr double kMaxCompress = 30.0;
// The engine keeps (filter size + 1) frames of every channel in doubles, and the FIFO about
// as much again: refuse configurations that would need more than this.
constexpr double kMaxMemoryBytes = 2.0 * 1024 * 1024 * 1024;

struct Config {
  uint32_t channels;
  uint32_t rate;
  uint32_t frame_ms;
  uint32_t filter_size;
  double peak;
  double max_gain;
  double target_rms;
  double compress;
  bool coupling;
  bool dc_correction;
  bool alt_boundary;
  bool limit;
};

// Same rounding as the engine: the nearest sample count, made even.
int64_t
engine_frame_samples(uint32_t rate, uint32_t frame_ms)
{
  const int64_t n = std::lrint(static_cast<double>(rate) * (frame_ms / 1000.0));
  return n + (n % 2);
}

uint32_t
clamp_frame_ms(uint32_t rate, uint32_t frame_ms)
{
  frame_ms = std::clamp(frame_ms, kMinFrameMs, kMaxFrameMs);
  // At very low rates a short frame rounds to no samples at all.
  if (rate > 0 && engine_frame_samples(rate, frame_ms) < 2)
    frame_ms = std::min<uint32_t>(kMaxFrameMs, static_cast<uint32_t>(std::ceil(2000.0 / rate)));
  return frame_ms;
}

template <typename T>
void
clamp_value(T &value, T low, T high, const char *name, std::vector<std::string> &log)
{
  const T clamped = std::clamp(value, low, high);
  if (clamped != value) {
    log.push_back(std::string(name) + " " + std::to_string(value) + " is outside " +
                  std::to_string(low) + ".." + std::to_string(high) + ", using " +
                  std::to_string(clamped));
    value = clamped;
  }
}

struct FrameDeleter {
  void operator()(AVFrame *f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

}  // namespace

struct MDynamicAudioNormalizer_r8::Engine {
  Config config;
  std::vector<std::string> adjustments;
  int64_t frame_samples = 0;
  bool initialized = false;

  AVFilterGraph *graph = nullptr;
  AVFilterContext *source = nullptr;
  AVFilterContext *sink = nullptr;
  AVAudioFifo *fifo = nullptr;
  AVChannelLayout layout{};
  // The frame being filled; the engine gets whole frames only, so that the last one can be
  // padded at the end of the stream (FFmpeg 5.1 reads past the end of a short last frame).
  FramePtr pending;
  int64_t pending_fill = 0;
  FramePtr output;

  int64_t frames_sent = 0;  // sent to the engine, padding included
  int64_t frames_in = 0;    // handed to processInplace since the last reset
  int64_t frames_out = 0;  // handed back since the last reset
  bool ended = false;      // end of stream sent to the engine

  ~Engine() { teardown(); }

  void teardown() {
    avfilter_graph_free(&graph);
    source = sink = nullptr;
    if (fifo) av_audio_fifo_free(fifo);
    fifo = nullptr;
    pending.reset();
    output.reset();
    av_channel_layout_uninit(&layout);
  }

  bool build() {
    teardown();
    frames_sent = frames_in = frames_out = 0;
    pending_fill = 0;
    ended = false;
    const Config &c = config;
    av_channel_layout_default(&layout, static_cast<int>(c.channels));
    char layout_name[128];
    if (av_channel_layout_describe(&layout, layout_name, sizeof layout_name) < 0) return false;

    graph = avfilter_graph_alloc();
    if (!graph) return false;
    // The filter has nothing to parallelise; threads would only idle.
    graph->nb_threads = 1;

    source = avfilter_graph_alloc_filter(graph, avfilter_get_by_name("abuffer"), "in");
    AVFilterContext *norm =
        avfilter_graph_alloc_filter(graph, avfilter_get_by_name("dynaudnorm"), "norm");
    sink = avfilter_graph_alloc_filter(graph, avfilter_get_by_name("abuffersink"), "out");
    if (!source || !norm || !sink) return false;

    // Options are set one by one: a formatted option string would depend on the locale's
    // decimal separator.
    constexpr int kSearch = AV_OPT_SEARCH_CHILDREN;
    bool ok = av_opt_set_int(source, "sample_rate", c.rate, kSearch) >= 0 &&
              av_opt_set_sample_fmt(source, "sample_fmt", AV_SAMPLE_FMT_DBLP, kSearch) >= 0 &&
              av_opt_set(source, "channel_layout", layout_name, kSearch) >= 0 &&
              av_opt_set_int(source, "channels", c.channels, kSearch) >= 0 &&
              av_opt_set_q(source, "time_base", AVRational{1, static_cast<int>(c.rate)},
                           kSearch) >= 0 &&
              avfilter_init_str(source, nullptr) >= 0;
    ok = ok && av_opt_set_int(norm, "framelen", c.frame_ms, kSearch) >= 0 &&
         av_opt_set_int(norm, "gausssize", c.filter_size, kSearch) >= 0 &&
         av_opt_set_double(norm, "peak", c.peak, kSearch) >= 0 &&
         av_opt_set_double(norm, "maxgain", c.max_gain, kSearch) >= 0 &&
         av_opt_set_double(norm, "targetrms", c.target_rms, kSearch) >= 0 &&
         av_opt_set_double(norm, "compress", c.compress, kSearch) >= 0 &&
         av_opt_set_int(norm, "coupling", c.coupling, kSearch) >= 0 &&
         av_opt_set_int(norm, "correctdc", c.dc_correction, kSearch) >= 0 &&
         av_opt_set_int(norm, "altboundary", c.alt_boundary, kSearch) >= 0 &&
         avfilter_init_str(norm, nullptr) >= 0;
    const AVSampleFormat formats[] = {AV_SAMPLE_FMT_DBLP, AV_SAMPLE_FMT_NONE};
    ok = ok &&
         av_opt_set_int_list(sink, "sample_fmts", formats, AV_SAMPLE_FMT_NONE, kSearch) >= 0 &&
         avfilter_init_str(sink, nullptr) >= 0;
    ok = ok && avfilter_link(source, 0, norm, 0) >= 0 && avfilter_link(norm, 0, sink, 0) >= 0 &&
         avfilter_graph_config(graph, nullptr) >= 0;
    if (!ok) return false;

    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_DBLP, static_cast<int>(c.channels),
                               static_cast<int>(frame_samples));
    output.reset(av_frame_alloc());
    return fifo && output && new_pending_frame();
  }

  bool new_pending_frame() {
    pending.reset(av_frame_alloc());
    if (!pending) return false;
    pending->format = AV_SAMPLE_FMT_DBLP;
    pending->sample_rate = static_cast<int>(config.rate);
    pending->nb_samples = static_cast<int>(frame_samples);
    if (av_channel_layout_copy(&pending->ch_layout, &layout) < 0) return false;
    if (av_frame_get_buffer(pending.get(), 0) < 0) return false;
    pending_fill = 0;
    return true;
  }

  // Sends the pending frame (of nb_samples samples) to the engine.
  bool send_pending() {
    pending->pts = frames_sent;
    frames_sent += pending->nb_samples;
    if (av_buffersrc_add_frame_flags(source, pending.get(), 0) < 0) return false;
    return new_pending_frame();
  }

  // Moves everything the engine has finished into the FIFO.
  bool collect() {
    for (;;) {
      const int ret = av_buffersink_get_frame(sink, output.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) return false;
      const int written = av_audio_fifo_write(
          fifo, reinterpret_cast<void **>(output->extended_data), output->nb_samples);
      av_frame_unref(output.get());
      if (written < 0) return false;
    }
  }

  // Reads n frames from the FIFO into the planes, clipped to the peak when limiting.
  int64_t read(double *const *planes, int64_t n) {
    n = std::min<int64_t>({n, av_audio_fifo_size(fifo), frames_in - frames_out});
    if (n <= 0) return 0;
    const int got = av_audio_fifo_read(fifo, const_cast<void **>(reinterpret_cast<void *const *>(planes)),
                                       static_cast<int>(n));
    if (got <= 0) return 0;
    if (config.limit) {
      const double peak = config.peak;
      for (uint32_t c = 0; c < config.channels; ++c)
        for (int i = 0; i < got; ++i) planes[c][i] = std::clamp(planes[c][i], -peak, peak);
    }
    frames_out += got;
    return got;
  }
};

MDynamicAudioNormalizer_r8::MDynamicAudioNormalizer_r8(
    uint32_t channels, uint32_t sampleRate, uint32_t frameLenMsec, uint32_t filterSize,
    double peakValue, double maxAmplification, double targetRms, double compressFactor,
    bool channelsCoupled, bool enableDCCorrection, bool altBoundaryMode, bool allowLimiting,
    FILE * /*logFile*/)
    : engine_(std::make_unique<Engine>())
{
  auto &log = engine_->adjustments;
  const uint32_t frame_ms = clamp_frame_ms(sampleRate, frameLenMsec);
  if (frame_ms != frameLenMsec)
    log.push_back("frame length " + std::to_string(frameLenMsec) + " ms is outside what the " +
                  "engine takes at " + std::to_string(sampleRate) + " Hz, using " +
                  std::to_string(frame_ms) + " ms");
  clamp_value(filterSize, kMinFilter, kMaxFilter, "filter size", log);
  if (filterSize % 2 == 0) {
    log.push_back("filter size " + std::to_string(filterSize) + " is even, using " +
                  std::to_string(filterSize + 1));
    ++filterSize;
  }
  clamp_value(peakValue, 0.0, 1.0, "peak value", log);
  clamp_value(maxAmplification, 1.0, kMaxGain, "maximum amplification", log);
  clamp_value(targetRms, 0.0, 1.0, "target RMS", log);
  clamp_value(compressFactor, 0.0, kMaxCompress, "compress factor", log);
  engine_->config = Config{channels,        sampleRate,       frame_ms,       filterSize,
                           peakValue,       maxAmplification, targetRms,      compressFactor,
                           channelsCoupled, enableDCCorrection, altBoundaryMode, allowLimiting};
  engine_->frame_samples = engine_frame_samples(sampleRate, frame_ms);
}

MDynamicAudioNormalizer_r8::~MDynamicAudioNormalizer_r8() = default;

bool
MDynamicAudioNormalizer_r8::initialize()
{
  Engine &e = *engine_;
  e.initialized = false;
  const Config &c = e.config;
  if (c.channels == 0 || c.rate == 0) return false;
  const double memory =
      2.0 * (c.filter_size + 1) * static_cast<double>(e.frame_samples) * c.channels * 8;
  if (memory > kMaxMemoryBytes) {
    e.adjustments.push_back("the configuration would hold " +
                            std::to_string(static_cast<int64_t>(memory / (1 << 20))) +
                            " MiB of audio: refused");
    return false;
  }
  e.initialized = e.build();
  if (!e.initialized) e.teardown();
  return e.initialized;
}

bool
MDynamicAudioNormalizer_r8::processInplace(double *const *samplesInOut, int64_t inputSize,
                                           int64_t &outputSize)
{
  outputSize = 0;
  Engine &e = *engine_;
  if (!e.initialized || !samplesInOut || inputSize < 0) return false;
  // Audio after the end of a stream starts a new one.
  if (e.ended && !reset()) return false;

  const uint32_t channels = e.config.channels;
  for (int64_t done = 0; done < inputSize;) {
    const int64_t n = std::min(inputSize - done, e.frame_samples - e.pending_fill);
    for (uint32_t c = 0; c < channels; ++c) {
      auto *plane = reinterpret_cast<double *>(e.pending->extended_data[c]);
      std::memcpy(plane + e.pending_fill, samplesInOut[c] + done, n * sizeof(double));
    }
    e.pending_fill += n;
    e.frames_in += n;
    done += n;
    if (e.pending_fill == e.frame_samples && (!e.send_pending() || !e.collect())) return false;
  }
  outputSize = e.read(samplesInOut, inputSize);
  return true;
}

bool
MDynamicAudioNormalizer_r8::flushBuffer(double *const *samplesOut, int64_t bufferSize,
                                        int64_t &outputSize)
{
  outputSize = 0;
  Engine &e = *engine_;
  if (!e.initialized || !samplesOut) return false;
  // Nothing went in: there is no stream to end.
  if (!e.ended && e.frames_in == 0) return false;
  if (!e.ended) {
    e.ended = true;
    if (e.pending_fill > 0) {
      // Repeat the partial frame's own samples: that keeps its peak, RMS and DC, so the
      // padding does not change the gain of the real samples. Its output is never read.
      for (uint32_t c = 0; c < e.config.channels; ++c) {
        auto *plane = reinterpret_cast<double *>(e.pending->extended_data[c]);
        for (int64_t i = e.pending_fill; i < e.frame_samples; ++i)
          plane[i] = plane[i % e.pending_fill];
      }
      e.pending_fill = e.frame_samples;
      if (!e.send_pending()) return false;
    }
    if (av_buffersrc_add_frame_flags(e.source, nullptr, 0) < 0 || !e.collect()) return false;
  }
  outputSize = e.read(samplesOut, bufferSize);
  return outputSize > 0;
}

bool
MDynamicAudioNormalizer_r8::reset()
{
  Engine &e = *engine_;
  if (!e.initialized) return false;
  if (e.frames_in == 0 && !e.ended) return true;  // nothing to forget
  e.initialized = e.build();
  if (!e.initialized) e.teardown();
  return e.initialized;
}

int64_t
MDynamicAudioNormalizer_r8::getInternalDelay() const
{
  return static_cast<int64_t>(engine_->config.filter_size + 1) * engine_->frame_samples;
}

const std::vector<std::string> &
MDynamicAudioNormalizer_r8::adjustments() const
{
  return engine_->adjustments;
}

int64_t
MDynamicAudioNormalizer_r8::frameLengthSamples(uint32_t sampleRate, uint32_t frameLenMsec)
{
  return engine_frame_samples(sampleRate, clamp_frame_ms(sampleRate, frameLenMsec));
}
