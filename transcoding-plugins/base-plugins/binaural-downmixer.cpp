// binauraldownmixer: multichannel audio to binaural stereo for headphones.
//
// Every input channel is a loudspeaker at a fixed direction; it is convolved with the head
// related impulse responses (left and right ear) measured nearest to that direction and the
// results are summed into two channels. Convolution is by FFT (FFTW, single precision) over
// blocks of 2048 frames with overlap-add; the sum goes through a look-ahead peak limiter whose
// delay is compensated, so output is aligned with input and as long as it. Without an "hrtf"
// property the built-in set (the horizontal plane of the system's SOFA file) is used.
//
//   gst-launch-1.0 filesrc location=in.mkv ! matroskademux ! decodebin ! audioconvert !
//       audio/x-raw,format=F32LE ! binauraldownmixer ! audioconvert ! autoaudiosink
//
// Limits: 44.1 and 48 kHz input; horizontal plane only (height channels use their azimuth);
// property changes take effect at the next format change. Unusable sets and layouts (no set,
// undecodable text, unpositioned mono, LFE only) fail negotiation with an element error.
#include "transcoding-plugins/base-plugins/binaural-downmixer.h"

#include <fftw3.h>
#include <gst/audio/audio-resampler.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/exception.h"
#include "transcoding-plugins/common/audio-filter.h"
#include "transcoding-plugins/common/biquad.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"
#include "transcoding-plugins/common/peak-limiter.h"

GST_DEBUG_CATEGORY_STATIC(binaural_downmixer_debug);
#define GST_CAT_DEFAULT binaural_downmixer_debug

namespace {

constexpr char kSinkCaps[] =
    "audio/x-raw, format=(string) {F32LE}, rate={44100,48000}, channels=(int)[1,8], "
    "layout=(string) {interleaved}";
constexpr char kSrcCaps[] =
    "audio/x-raw, format=(string) {F32LE}, rate=(int)[1,MAX], channels=2, "
    "layout=(string) {interleaved}";

constexpr float kDefaultHeadScale = 1.0f;
constexpr float kDefaultLfeGain = 1.0f;
constexpr gboolean kDefaultTestingLayout = FALSE;

constexpr double kSpeedOfSound = 343.0;  // m/s
constexpr double kShelfFrequency = 14000.0;
constexpr double kShelfGainDb = 5.0;
constexpr float kLimiterAttackMs = 200.0f;
constexpr float kLimiterReleaseMs = 1000.0f;
constexpr float kLimiterThreshold = 0.85f;

enum {
  PROP_0,
  PROP_HRTF = 1,
  PROP_HEAD_SCALE = 2,
  PROP_LFE_GAIN_FACTOR = 3,
  PROP_TESTING_LAYOUT = 4,
};

// FFTW memory (aligned as its plans expect).
template <typename T>
struct FftwDeleter {
  void operator()(T *p) const { fftwf_free(p); }
};
template <typename T>
using FftwBuffer = std::unique_ptr<T[], FftwDeleter<T>>;

template <typename T>
FftwBuffer<T>
fftw_alloc(size_t count) {
  void *p = fftwf_malloc(sizeof(T) * std::max<size_t>(count, 1));
  if (!p) throw std::bad_alloc();
  std::memset(p, 0, sizeof(T) * std::max<size_t>(count, 1));
  return FftwBuffer<T>(static_cast<T *>(p));
}

// Four floats (two complex bins); may alias the float arrays it is loaded from.
typedef float V4 __attribute__((vector_size(16), may_alias));
constexpr V4 kSign = {-1.0f, 1.0f, -1.0f, 1.0f};

inline V4
load4(const float *p) {
  V4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void
store4(float *p, V4 v) {
  std::memcpy(p, &v, sizeof v);
}

struct Plans {
  fftwf_plan forward = nullptr;   // N reals -> N/2+1 bins
  fftwf_plan backward = nullptr;  // N/2+1 bins -> N reals, unnormalised
};

// One pair of plans per transform size for the whole process: measuring is slow (about 0.4 s
// at 4096) and plans are executed on other arrays of the same alignment, which is thread-safe.
const Plans &
plans_for(size_t n) {
  static std::once_flag thread_safe_once;
  std::call_once(thread_safe_once, [] { fftwf_make_planner_thread_safe(); });
  static std::mutex mutex;
  static std::map<size_t, Plans> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(n);
  if (it != cache.end()) return it->second;
  // Measuring overwrites the arrays, so plan on scratch ones; huge sizes take the estimate.
  const unsigned flags = FFTW_ESTIMATE;
  FftwBuffer<float> real = fftw_alloc<float>(n);
  FftwBuffer<fftwf_complex> bins = fftw_alloc<fftwf_complex>(n / 2 + 1);
  Plans plans;
  plans.forward = fftwf_plan_dft_r2c_1d(static_cast<int>(n), real.get(), bins.get(), flags);
  plans.backward = fftwf_plan_dft_c2r_1d(static_cast<int>(n), bins.get(), real.get(), flags);
  if (!plans.forward || !plans.backward) throw std::runtime_error("FFTW cannot plan");
  return cache.emplace(n, plans).first->second;
}

// GstAudioResampler for one float channel, freed with its owner.
struct ResamplerDeleter {
  void operator()(GstAudioResampler *r) const { gst_audio_resampler_free(r); }
};
using Resampler = std::unique_ptr<GstAudioResampler, ResamplerDeleter>;

Resampler
make_resampler(int from, int to) {
  GstStructure *options = gst_structure_new_empty("GstAudioResampler.options");
  gst_audio_resampler_options_set_quality(GST_AUDIO_RESAMPLER_METHOD_KAISER,
                                          GST_AUDIO_RESAMPLER_QUALITY_MAX, from, to, options);
  GstAudioResampler *r =
      gst_audio_resampler_new(GST_AUDIO_RESAMPLER_METHOD_KAISER, GST_AUDIO_RESAMPLER_FLAG_NONE,
                              GST_AUDIO_FORMAT_F32LE, 1, from, to, options);
  gst_structure_free(options);
  if (!r)
    throw binaural::DesignError("cannot resample the HRTF set from " + std::to_string(from) +
                                " Hz to " + std::to_string(to) + " Hz");
  return Resampler(r);
}

// The taps at the stream rate, with the resampler's tail so that nothing of the response is
// cut off.
std::vector<float>
resample_taps(GstAudioResampler *resampler, const std::vector<float> &taps) {
  if (!resampler || taps.empty()) return taps;
  gst_audio_resampler_reset(resampler);
  const gsize latency = gst_audio_resampler_get_max_latency(resampler);
  const gsize in_frames = taps.size();
  const gsize head = gst_audio_resampler_get_out_frames(resampler, in_frames);
  const gsize total = gst_audio_resampler_get_out_frames(resampler, latency + in_frames);
  std::vector<float> out(std::max(total, head));
  gpointer in_planes[1] = {const_cast<float *>(taps.data())};
  gpointer out_planes[1] = {out.data()};
  gst_audio_resampler_resample(resampler, in_planes, in_frames, out_planes, head);
  // Silence in (no input planes) pushes the filter's tail out.
  gpointer tail_planes[1] = {out.data() + head};
  gst_audio_resampler_resample(resampler, nullptr, latency, tail_planes, out.size() - head);
  return out;
}

bool
has_position(const GstAudioInfo &info, GstAudioChannelPosition a, GstAudioChannelPosition b) {
  for (int c = 0; c < GST_AUDIO_INFO_CHANNELS(&info); ++c) {
    const GstAudioChannelPosition p = GST_AUDIO_INFO_POSITION(&info, c);
    if (p == a || p == b) return true;
  }
  return false;
}

bool
is_lfe(GstAudioChannelPosition p) {
  return p == GST_AUDIO_CHANNEL_POSITION_LFE1 || p == GST_AUDIO_CHANNEL_POSITION_LFE2;
}

// Filters, transforms and streaming state of one negotiated format.
struct Engine {
  size_t channels = 0;
  size_t max_filter_length = 0;
  size_t tail_length = 0;  // M - 1: the part of a block's response that lands in later blocks
  size_t fft_size = 0;
  size_t bin_count = 0;
  const Plans *plans = nullptr;
  // Per ear and channel, scaled by the fixed gains and 1/N; empty for a channel without
  // filter (LFE).
  std::array<std::vector<FftwBuffer<fftwf_complex>>, 2> spectra;
  std::vector<size_t> filtered_channels;  // channels with spectra
  std::vector<size_t> lfe_channels;
  float lfe_gain = 1.0f;  // with the output gain folded in

  // Scratch, allocated once.
  std::vector<FftwBuffer<float>> blocks;  // per filtered channel, N reals, zero beyond B
  FftwBuffer<fftwf_complex> spectrum_work;
  std::array<FftwBuffer<fftwf_complex>, 2> sums;
  std::array<FftwBuffer<float>, 2> responses;
  std::array<std::vector<float>, 2> tails;

  std::vector<audio::Biquad> shelf_filters;  // per filtered channel
  int rate = 0;
  std::unique_ptr<audio::PeakLimiter> limiter;
  size_t limiter_delay_remaining = 0;

  std::vector<float> input_queue;  // interleaved frames not yet processed (< one block)
  // Frames received since the stretch began (start, drain, flush): a drain with nothing
  // received has nothing to release.
  guint64 stretch_frames = 0;

  void reset_stretch();
  // Runs G shelf filters from filtered channel `first` on one block into `blocks`.
  template <size_t G>
  void shelve(const float *in, size_t first);
  // Convolves one block of B interleaved input frames into B stereo frames (before the limiter).
  void process_block(const float *in, float *out);
  // Limits `frames` stereo frames in place and drops what compensates the limiter delay;
  // returns the index of the first frame to keep.
  size_t limit(float *out, size_t frames);
};

void
Engine::reset_stretch() {
  input_queue.clear();
  for (auto &t : tails) std::fill(t.begin(), t.end(), 0.0f);
  for (auto &b : shelf_filters) b.z1 = b.z2 = 0.0;
  limiter = std::make_unique<audio::PeakLimiter>(kLimiterAttackMs, kLimiterReleaseMs,
                                                 kLimiterThreshold, 2, rate);
  limiter_delay_remaining = static_cast<size_t>(limiter->getLimiterDelay());
  stretch_frames = 0;
}

template <size_t G>
void
Engine::shelve(const float *in, size_t first) {
  constexpr size_t B = binaural::kBlockSize;
  double a0[G], a1[G], a2[G], b1[G], b2[G], z1[G], z2[G];
  float *dst[G];
  size_t src[G];
  for (size_t g = 0; g < G; ++g) {
    const audio::Biquad &b = shelf_filters[first + g];
    a0[g] = b.a0, a1[g] = b.a1, a2[g] = b.a2, b1[g] = b.b1, b2[g] = b.b2;
    z1[g] = b.z1, z2[g] = b.z2;
    dst[g] = blocks[first + g].get();
    src[g] = filtered_channels[first + g];
  }
  for (size_t t = 0; t < B; ++t) {
    const float *frame = in + t * channels;
    // Fully unrolled, so that the states live in registers.
#pragma GCC unroll 4
    for (size_t g = 0; g < G; ++g) {
      // audio::Biquad::process, transposed direct form II.
      const double x = frame[src[g]];
      const double y = x * a0[g] + z1[g];
      z1[g] = x * a1[g] + z2[g] - b1[g] * y;
      z2[g] = x * a2[g] - b2[g] * y;
      dst[g][t] = static_cast<float>(y);
    }
  }
  for (size_t g = 0; g < G; ++g) {
    shelf_filters[first + g].z1 = z1[g];
    shelf_filters[first + g].z2 = z2[g];
  }
}

void
Engine::process_block(const float *in, float *out) {
  constexpr size_t B = binaural::kBlockSize;
  const size_t ch = channels;
  const size_t nf = filtered_channels.size();

  // Shelf filters, up to four channels side by side so that their recurrences overlap in the
  // CPU; the states stay in registers.
  const size_t groups = (nf + 3) / 4;
  for (size_t first = 0, g = 0; g < groups; ++g) {
    // Balanced groups: five channels run as three and two, not four and a lone one.
    const size_t size = (nf - first + (groups - g) - 1) / (groups - g);
    const size_t at = first;
    first += size;
    switch (size) {
      case 1:
        shelve<1>(in, at);
        break;
      case 2:
        shelve<2>(in, at);
        break;
      case 3:
        shelve<3>(in, at);
        break;
      default:
        shelve<4>(in, at);
        break;
    }
  }

  // The convolution is linear: sum the channels' products per ear in the frequency domain and
  // transform back once per ear.
  const size_t padded_bins = (bin_count + 1) & ~size_t{1};
  float *__restrict s0 = reinterpret_cast<float *>(sums[0].get());
  float *__restrict s1 = reinterpret_cast<float *>(sums[1].get());
  std::memset(s0, 0, sizeof(fftwf_complex) * padded_bins);
  std::memset(s1, 0, sizeof(fftwf_complex) * padded_bins);
  for (size_t i = 0; i < nf; ++i) {
    const size_t c = filtered_channels[i];
    fftwf_execute_dft_r2c(plans->forward, blocks[i].get(), spectrum_work.get());
    const float *__restrict x = reinterpret_cast<const float *>(spectrum_work.get());
    const float *__restrict h0 = reinterpret_cast<const float *>(spectra[0][c].get());
    const float *__restrict h1 = reinterpret_cast<const float *>(spectra[1][c].get());
    // Two bins per vector, plain re/im arithmetic (std::complex multiplication takes a slow
    // NaN path); the arrays hold an even number of bins, the last one zero when padded.
    for (size_t k = 0; k < 2 * padded_bins; k += 4) {
      const V4 xv = load4(x + k);
      const V4 xr = __builtin_shufflevector(xv, xv, 0, 0, 2, 2);
      const V4 xi = __builtin_shufflevector(xv, xv, 1, 1, 3, 3) * kSign;
      const V4 a = load4(h0 + k), b = load4(h1 + k);
      store4(s0 + k, load4(s0 + k) + xr * a + xi * __builtin_shufflevector(a, a, 1, 0, 3, 2));
      store4(s1 + k, load4(s1 + k) + xr * b + xi * __builtin_shufflevector(b, b, 1, 0, 3, 2));
    }
  }
  for (size_t e = 0; e < 2; ++e) {
    float *y = responses[e].get();
    if (nf > 0)
      fftwf_execute_dft_c2r(plans->backward, sums[e].get(), y);
    else
      std::memset(y, 0, sizeof(float) * fft_size);
    // Overlap-add: this block's output plus the tails of the blocks before it.
    std::vector<float> &tail = tails[e];
    const size_t add = std::min(B, tail_length);
    for (size_t t = 0; t < add; ++t) y[t] += tail[t];
    for (size_t t = 0; t < B; ++t) out[2 * t + e] = y[t];
    // The response past this block, plus what earlier blocks left beyond it.
    for (size_t i = 0; i < tail_length; ++i)
      tail[i] = y[B + i] + (i + B < tail_length ? tail[i + B] : 0.0f);
  }
  // LFE goes to both ears unfiltered.
  for (size_t c : lfe_channels) {
    for (size_t t = 0; t < B; ++t) {
      const float v = in[t * ch + c] * lfe_gain;
      out[2 * t] += v;
      out[2 * t + 1] += v;
    }
  }
}

size_t
Engine::limit(float *out, size_t frames) {
  limiter->applyLimiter_E_I(out, static_cast<int>(frames));
  const size_t drop = std::min(frames, limiter_delay_remaining);
  limiter_delay_remaining -= drop;
  return drop;
}

class BinauralTransform : public AudioTransform {
 public:
  using AudioTransform::AudioTransform;

  BufferList filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override;
  void audio_info_did_change() override;
  bool set_caps(const fn::AutoPtr<GstCaps> &incaps, const fn::AutoPtr<GstCaps> &outcaps) override;
  fn::AutoPtr<GstCaps> transform_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                                      const fn::AutoPtr<GstCaps> &filter) override;
  bool sink_event(const fn::AutoPtr<GstEvent> &event) override;
  bool query(GstPadDirection direction, GstQuery *query) override;
  void discard() override;
  void set_property(guint prop_id, const GValue *value, GParamSpec *pspec) override;
  void get_property(guint prop_id, GValue *value, GParamSpec *pspec) override;

 private:
  BufferList drain();

  std::unique_ptr<Engine> engine;
  // Why the last design failed, for the element error; empty after a success.
  std::string design_error;
  // Frames held (queue and limiter delay) at most, for LATENCY queries from other threads.
  std::atomic<guint64> held_frames{0};
  std::atomic<int> held_rate{0};

  // Properties, under the object lock.
  fn::String hrtf_text;
  float head_scale = kDefaultHeadScale;
  float lfe_gain = kDefaultLfeGain;
  bool testing_layout = false;
};

}  // namespace

typedef BaseTransformElement BinauralDownmixer;
typedef BaseTransformElementClass BinauralDownmixerClass;

G_DEFINE_TYPE(BinauralDownmixer, binaural_downmixer, TYPE_BASE_TRANSFORM_ELEMENT)

gboolean
binaural_downmixer_register(GstPlugin *plugin) {
  return element_register(plugin, "binauraldownmixer", GST_RANK_NONE, TYPE_BINAURAL_DOWNMIXER,
                          &binaural_downmixer_debug, "binauraldownmixer",
                          "Downmixes multichannel audio for headphones");
}

static void
binaural_downmixer_class_init(BinauralDownmixerClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  base_transform_element_class_setup(klass, fn::AutoPtr<GstCaps>(gst_caps_from_string(kSinkCaps)),
                                     fn::AutoPtr<GstCaps>(gst_caps_from_string(kSrcCaps)));

  const GParamFlags flags = kElementPropertyFlags;
  g_object_class_install_property(
      gobject_class, PROP_HRTF,
      g_param_spec_string("hrtf", "HRTF Filter",
                          "Head related transfer function serialized as string", "", flags));
  g_object_class_install_property(
      gobject_class, PROP_HEAD_SCALE,
      g_param_spec_float("head-scale", "Head Scale", "Affect L/R filter delay", 0.0f, 2.0f,
                         kDefaultHeadScale, flags));
  g_object_class_install_property(
      gobject_class, PROP_LFE_GAIN_FACTOR,
      g_param_spec_float("lfe-gain-factor", "LFE Gain Factor", "Applied to LFE during downmix",
                         0.0f, FLT_MAX, kDefaultLfeGain, flags));
  g_object_class_install_property(
      gobject_class, PROP_TESTING_LAYOUT,
      g_param_spec_boolean("testing-layout", "Testing layout",
                           "Uses special speaker layout for testing video", kDefaultTestingLayout,
                           flags));

  gst_element_class_set_metadata(GST_ELEMENT_CLASS(klass), "BinauralDownmixer", "Converter",
                                 "Downmixes multichannel audio for headphones",
                                 "Transcoding team <transcoding@example.com>");
}

static void
binaural_downmixer_init(BinauralDownmixer *self) {
  self->transform = new BinauralTransform(self);
}

namespace {

void
BinauralTransform::set_property(guint prop_id, const GValue *value, GParamSpec *pspec) {
  GST_OBJECT_LOCK(element);
  switch (prop_id) {
    case PROP_HRTF:
      hrtf_text = fn::String(g_value_get_string(value));
      break;
    case PROP_HEAD_SCALE:
      head_scale = g_value_get_float(value);
      break;
    case PROP_LFE_GAIN_FACTOR:
      lfe_gain = g_value_get_float(value);
      break;
    case PROP_TESTING_LAYOUT:
      testing_layout = g_value_get_boolean(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(element, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(element);
}

void
BinauralTransform::get_property(guint prop_id, GValue *value, GParamSpec *pspec) {
  GST_OBJECT_LOCK(element);
  switch (prop_id) {
    case PROP_HRTF:
      g_value_set_string(value, hrtf_text.c_str());
      break;
    case PROP_HEAD_SCALE:
      g_value_set_float(value, head_scale);
      break;
    case PROP_LFE_GAIN_FACTOR:
      g_value_set_float(value, lfe_gain);
      break;
    case PROP_TESTING_LAYOUT:
      g_value_set_boolean(value, testing_layout);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(element, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(element);
}

fn::AutoPtr<GstCaps>
BinauralTransform::transform_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                                  const fn::AutoPtr<GstCaps> &filter) {
  if (gst_caps_is_empty(caps.get())) return caps;
  fn::AutoPtr<GstCaps> result(gst_caps_copy(caps.get()));
  const GValue *filter_channels = nullptr;
  const GValue *filter_mask = nullptr;
  if (direction == GST_PAD_SRC && filter && !gst_caps_is_empty(filter.get()) &&
      !gst_caps_is_any(filter.get())) {
    const GstStructure *f = gst_caps_get_structure(filter.get(), 0);
    filter_channels = gst_structure_get_value(f, "channels");
    filter_mask = gst_structure_get_value(f, "channel-mask");
  }
  // Every structure, not just the first: a caps query may offer several.
  for (guint i = 0; i < gst_caps_get_size(result.get()); ++i) {
    GstStructure *s = gst_caps_get_structure(result.get(), i);
    if (direction == GST_PAD_SINK) {
      gst_structure_set(s, "channels", G_TYPE_INT, 2, nullptr);
      gst_structure_remove_field(s, "channel-mask");
    } else {
      gst_structure_remove_field(s, "channels");
      if (filter_channels) gst_structure_set_value(s, "channels", filter_channels);
      if (filter_mask) gst_structure_set_value(s, "channel-mask", filter_mask);
    }
  }
  GST_DEBUG_OBJECT(element, "%s caps %" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT,
                   direction == GST_PAD_SINK ? "sink" : "src", caps.get(), result.get());
  return result;
}

void
BinauralTransform::audio_info_did_change() {
  design_error.clear();
  GST_OBJECT_LOCK(element);
  const fn::String text = hrtf_text;
  const float scale = head_scale;
  const float lfe = lfe_gain;
  const bool testing = testing_layout;
  GST_OBJECT_UNLOCK(element);

  // Everything is built aside and installed only when complete: a failure keeps the previous
  // filters.
  try {
    std::optional<hrtf::Set> set;
    if (!text.empty()) {
      try {
        set = hrtf::fromString(text);
      } catch (const fn::Exception &e) {
        throw binaural::DesignError(std::string("cannot decode the \"hrtf\" property: ") +
                                    e.what());
      }
      if (!set) GST_WARNING_OBJECT(element, "the \"hrtf\" property holds no set");
    }
    if (!set || set->empty()) set = hrtf::forPreset(0);
    if (!set)
      throw binaural::DesignError(
          "no HRTF set: the \"hrtf\" property is empty and the "
          "built-in set is not available");

    const std::vector<binaural::ChannelFilters> filters =
        binaural::designFilters(*set, in_info, scale, testing);

    auto e = std::make_unique<Engine>();
    e->channels = filters.size();
    e->rate = GST_AUDIO_INFO_RATE(&in_info);
    for (const auto &f : filters)
      e->max_filter_length = std::max({e->max_filter_length, f[0].size(), f[1].size()});
    e->tail_length = e->max_filter_length - 1;
    e->fft_size = binaural::fftSize(e->max_filter_length);
    e->bin_count = e->fft_size / 2 + 1;
    e->plans = &plans_for(e->fft_size);

    // Fixed gains folded into the spectra (the convolution is linear): -7 dB before the
    // filters, -2 dB after, and the 1/N of the unnormalised inverse transform.
    const float pre_gain = static_cast<float>(std::pow(10.0, -0.35f));
    const float out_gain = 1.0f / static_cast<float>(std::pow(10.0, 0.1f));
    const float spectrum_scale = pre_gain * out_gain / static_cast<float>(e->fft_size);
    e->lfe_gain = lfe * out_gain;
    FftwBuffer<float> scratch = fftw_alloc<float>(e->fft_size);
    for (size_t ear = 0; ear < 2; ++ear) {
      e->spectra[ear].resize(e->channels);
      for (size_t c = 0; c < e->channels; ++c) {
        const std::vector<float> &taps = filters[c][ear];
        if (taps.empty()) continue;
        std::fill_n(scratch.get(), e->fft_size, 0.0f);
        for (size_t t = 0; t < taps.size(); ++t) scratch[t] = taps[t] * spectrum_scale;
        e->spectra[ear][c] = fftw_alloc<fftwf_complex>(e->bin_count + 1);
        fftwf_execute_dft_r2c(e->plans->forward, scratch.get(), e->spectra[ear][c].get());
      }
    }
    for (size_t c = 0; c < e->channels; ++c) {
      if (e->spectra[0][c] || e->spectra[1][c]) {
        // A channel that has a filter for one ear only is silent at the other.
        for (size_t ear = 0; ear < 2; ++ear)
          if (!e->spectra[ear][c]) e->spectra[ear][c] = fftw_alloc<fftwf_complex>(e->bin_count + 1);
        e->filtered_channels.push_back(c);
      } else {
        e->lfe_channels.push_back(c);
      }
    }
    for (size_t i = 0; i < e->filtered_channels.size(); ++i) {
      e->blocks.push_back(fftw_alloc<float>(e->fft_size));
      audio::Biquad shelf;
      shelf.setBiquad(audio::Biquad::highshelf, kShelfFrequency / e->rate, 0.0, kShelfGainDb);
      e->shelf_filters.push_back(shelf);
    }
    e->spectrum_work = fftw_alloc<fftwf_complex>(e->bin_count + 1);
    for (size_t ear = 0; ear < 2; ++ear) {
      e->sums[ear] = fftw_alloc<fftwf_complex>(e->bin_count + 1);
      e->responses[ear] = fftw_alloc<float>(e->fft_size);
      e->tails[ear].assign(e->tail_length, 0.0f);
    }
    e->input_queue.reserve(binaural::kBlockSize * e->channels);
    e->reset_stretch();

    GST_INFO_OBJECT(element,
                    "%zu channels at %d Hz: filters of up to %zu taps, FFT size %zu, "
                    "%zu LFE channels",
                    e->channels, e->rate, e->max_filter_length, e->fft_size,
                    e->lfe_channels.size());
    held_frames = binaural::kBlockSize - 1 + e->limiter_delay_remaining;
    held_rate = e->rate;
    engine = std::move(e);
  } catch (const binaural::DesignError &e) {
    design_error = e.what();
  }
}

bool
BinauralTransform::set_caps(const fn::AutoPtr<GstCaps> &incaps,
                            const fn::AutoPtr<GstCaps> &outcaps) {
  design_error.clear();
  GstAudioInfo in;
  if (!gst_audio_info_from_caps(&in, incaps.get()))
    design_error = "the input layout is not usable (more than two channels need a channel-mask)";
  bool ok = design_error.empty() && AudioTransform::set_caps(incaps, outcaps);
  if (ok && design_error.empty() && !engine) design_error = "no filters";
  if (!design_error.empty()) {
    // Forget the format so that the same caps are designed again next time (the properties
    // may have been fixed meanwhile).
    gst_audio_info_init(&in_info);
    gst_audio_info_init(&out_info);
    GST_ELEMENT_ERROR(element, CORE, NEGOTIATION,
                      ("Cannot downmix for headphones: %s", design_error.c_str()),
                      ("input caps %" GST_PTR_FORMAT, incaps.get()));
    return false;
  }
  return ok;
}

bool
BinauralTransform::sink_event(const fn::AutoPtr<GstEvent> &event) {
  // A new format means new filters: release what the old ones hold first, in the old format.
  if (GST_EVENT_TYPE(event.get()) == GST_EVENT_CAPS && engine) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event.get(), &caps);
    GstAudioInfo info;
    if (caps && gst_caps_is_fixed(caps) && gst_audio_info_from_caps(&info, caps) &&
        !gst_audio_info_is_equal(&info, &in_info)) {
      BufferList tail = flush();
      push_all(tail);
    }
  }
  return AudioTransform::sink_event(event);
}

bool
BinauralTransform::query(GstPadDirection direction, GstQuery *q) {
  if (direction != GST_PAD_SRC || GST_QUERY_TYPE(q) != GST_QUERY_LATENCY)
    return AudioTransform::query(direction, q);
  if (!gst_pad_peer_query(GST_BASE_TRANSFORM_SINK_PAD(base()), q)) return false;
  gboolean live = FALSE;
  GstClockTime min = 0, max = GST_CLOCK_TIME_NONE;
  gst_query_parse_latency(q, &live, &min, &max);
  const int rate = held_rate;
  // Up to a block waits in the queue, and the limiter looks ahead.
  const GstClockTime own = rate > 0 ? gst_util_uint64_scale_int(held_frames, GST_SECOND, rate) : 0;
  min += own;
  if (GST_CLOCK_TIME_IS_VALID(max)) max += own;
  gst_query_set_latency(q, live, min, max);
  return true;
}

void
BinauralTransform::discard() {
  if (engine) engine->reset_stretch();
}

BaseTransform::BufferList
BinauralTransform::filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) {
  flow = GST_FLOW_OK;
  if (!engine) return {};
  if (!input) return drain();
  Engine &e = *engine;
  constexpr size_t B = binaural::kBlockSize;
  const size_t ch = e.channels;
  {
    gstref::BufferMap map(input.get(), GST_MAP_READ);
    if (!map.ok()) {
      GST_WARNING_OBJECT(element, "cannot map input buffer");
      return {};
    }
    const size_t frames = map.size() / (sizeof(float) * ch);
    if (frames * sizeof(float) * ch != map.size())
      GST_WARNING_OBJECT(element, "input of %zu bytes is not a whole number of frames", map.size());
    const float *samples = reinterpret_cast<const float *>(map.data());
    e.input_queue.insert(e.input_queue.end(), samples, samples + frames * ch);
    e.stretch_frames += frames;
  }
  const size_t blocks = e.input_queue.size() / (B * ch);
  if (blocks == 0) return {};

  const size_t frames = blocks * B;
  fn::AutoPtr<GstBuffer> out = allocate_buffer(frames * 2 * sizeof(float));
  size_t drop = 0;
  {
    gstref::BufferMap map(out.get(), GST_MAP_WRITE);
    if (!map.ok()) return {};
    float *o = reinterpret_cast<float *>(map.data());
    for (size_t k = 0; k < blocks; ++k)
      e.process_block(e.input_queue.data() + k * B * ch, o + k * B * 2);
    drop = e.limit(o, frames);
  }
  e.input_queue.erase(e.input_queue.begin(), e.input_queue.begin() + blocks * B * ch);
  GST_LOG_OBJECT(element, "%zu blocks, %zu frames dropped for the limiter delay", blocks, drop);
  if (drop == frames) return {};
  if (drop > 0) gst_buffer_resize(out.get(), drop * 2 * sizeof(float), -1);
  BufferList result;
  result.push_back(std::move(out));
  return result;
}

// End of a stretch (end of stream, discontinuity, format change): the queued partial block
// and what the limiter delays come out, so output and input have the same length; the next
// stretch starts from silence.
BaseTransform::BufferList
BinauralTransform::drain() {
  Engine &e = *engine;
  BufferList result;
  if (e.stretch_frames == 0) {
    e.reset_stretch();
    return result;
  }
  constexpr size_t B = binaural::kBlockSize;
  const size_t ch = e.channels;
  const size_t partial = e.input_queue.size() / ch;
  const size_t delay = static_cast<size_t>(e.limiter->getLimiterDelay());
  // The partial block, then silence to push the limiter's delay line out.
  const size_t frames = partial + delay;
  std::vector<float> area(std::max(frames, B) * 2, 0.0f);
  if (partial > 0) {
    e.input_queue.resize(B * ch, 0.0f);
    std::vector<float> block(B * 2);
    e.process_block(e.input_queue.data(), block.data());
    std::copy_n(block.begin(), partial * 2, area.begin());
  }
  const size_t drop = e.limit(area.data(), frames);
  GST_DEBUG_OBJECT(element, "drain: %zu queued frames, %zu frames out", partial, frames - drop);
  if (frames > drop) {
    fn::AutoPtr<GstBuffer> out = allocate_buffer((frames - drop) * 2 * sizeof(float));
    gst_buffer_fill(out.get(), 0, area.data() + drop * 2, (frames - drop) * 2 * sizeof(float));
    result.push_back(std::move(out));
  }
  e.reset_stretch();
  return result;
}

}  // namespace

// Filter design --------------------------------------------------------------------------

namespace binaural {

std::optional<int>
speakerAzimuth(GstAudioChannelPosition position, const GstAudioInfo &info, bool testing_layout) {
  const bool has_rear = has_position(info, GST_AUDIO_CHANNEL_POSITION_REAR_LEFT,
                                     GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT);
  const bool has_side = has_position(info, GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT,
                                     GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT);
  switch (position) {
    case GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT:
      return testing_layout ? 45 : 30;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT:
      return testing_layout ? 315 : 330;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER:
      return 0;
    case GST_AUDIO_CHANNEL_POSITION_REAR_LEFT:
      return testing_layout || has_side ? 135 : 120;
    case GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT:
      return testing_layout || has_side ? 225 : 240;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
      return 15;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
      return 345;
    case GST_AUDIO_CHANNEL_POSITION_REAR_CENTER:
      return 180;
    case GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT:
      return has_rear ? 90 : (testing_layout ? 135 : 120);
    case GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT:
      return has_rear ? 270 : (testing_layout ? 225 : 240);
    case GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_LEFT:
      return 30;
    case GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_RIGHT:
      return 330;
    case GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_CENTER:
      return 0;
    case GST_AUDIO_CHANNEL_POSITION_TOP_CENTER:
      return 0;
    case GST_AUDIO_CHANNEL_POSITION_TOP_REAR_LEFT:
      return 150;
    case GST_AUDIO_CHANNEL_POSITION_TOP_REAR_RIGHT:
      return 210;
    case GST_AUDIO_CHANNEL_POSITION_TOP_SIDE_LEFT:
      return 90;
    case GST_AUDIO_CHANNEL_POSITION_TOP_SIDE_RIGHT:
      return 270;
    case GST_AUDIO_CHANNEL_POSITION_TOP_REAR_CENTER:
      return 180;
    case GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_CENTER:
      return 0;
    case GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_LEFT:
      return 30;
    case GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_RIGHT:
      return 330;
    case GST_AUDIO_CHANNEL_POSITION_WIDE_LEFT:
    case GST_AUDIO_CHANNEL_POSITION_SURROUND_LEFT:
      return 90;
    case GST_AUDIO_CHANNEL_POSITION_WIDE_RIGHT:
    case GST_AUDIO_CHANNEL_POSITION_SURROUND_RIGHT:
      return 270;
    default:
      return std::nullopt;
  }
}

size_t
fftSize(size_t max_filter_length) {
  const size_t overlap = max_filter_length <= kBlockSize ? max_filter_length - 1 : kBlockSize - 1;
  const size_t need = max_filter_length + overlap + kBlockSize;
  size_t n = 1;
  while (n < need) n <<= 1;
  return n;
}

std::vector<ChannelFilters>
designFilters(const hrtf::Set &set, const GstAudioInfo &info, float head_scale,
              bool testing_layout) {
  const int rate = GST_AUDIO_INFO_RATE(&info);
  const int channels = GST_AUDIO_INFO_CHANNELS(&info);
  if (rate <= 0 || channels <= 0) throw DesignError("no audio format");

  // The entries at the stream rate, or else at the set's highest rate, resampled.
  auto source = set.find(rate);
  Resampler resampler;
  if (source == set.end()) {
    if (set.empty()) throw DesignError("the HRTF set is empty");
    source = std::prev(set.end());
    resampler = make_resampler(source->first, rate);
  }
  const int source_rate = source->first;
  const std::vector<hrtf::Entry> &entries = source->second;
  if (entries.empty())
    throw DesignError("the HRTF set has no entries at " + std::to_string(source_rate) + " Hz");

  std::vector<ChannelFilters> filters(channels);
  bool any_filter = false;
  for (int c = 0; c < channels; ++c) {
    const GstAudioChannelPosition p = GST_AUDIO_INFO_POSITION(&info, c);
    if (is_lfe(p)) continue;
    const std::optional<int> azimuth = speakerAzimuth(p, info, testing_layout);
    if (!azimuth) {
      GEnumClass *positions =
          static_cast<GEnumClass *>(g_type_class_ref(GST_TYPE_AUDIO_CHANNEL_POSITION));
      GEnumValue *v = g_enum_get_value(positions, p);
      const std::string name = v ? v->value_nick : std::to_string(static_cast<int>(p));
      g_type_class_unref(positions);
      throw DesignError("channel " + std::to_string(c) + " has position \"" + name +
                        "\", which has no speaker direction");
    }
    const float a = static_cast<float>(*azimuth);

    const hrtf::Entry *nearest = &entries.front();
    float best = std::fabs(static_cast<float>(nearest->azimuth) - a);
    for (const hrtf::Entry &entry : entries) {
      const float d = std::fabs(static_cast<float>(entry.azimuth) - a);
      if (d < best) {
        best = d;
        nearest = &entry;
      }
    }

    // Only the interaural difference counts; it is rescaled for the head size through the
    // spherical-head model (Woodworth: delay = r (theta + sin theta) / c).
    const size_t dl = nearest->delay[0], dr = nearest->delay[1];
    double difference = static_cast<double>(dl > dr ? dl - dr : dr - dl);
    if (*azimuth != 0) {
      const double theta = a * M_PI / 180.0;
      const double s = theta + std::sin(theta);
      const double radius = (difference * kSpeedOfSound) / (s * rate);
      difference = std::round(s * radius * static_cast<double>(head_scale) * rate / kSpeedOfSound);
    }
    const uint64_t d = static_cast<uint64_t>(std::max(difference, 0.0));
    std::array<uint64_t, 2> delay = {dl > dr ? d : 0, dl > dr ? 0 : d};
    for (size_t ear = 0; ear < 2; ++ear) {
      delay[ear] = delay[ear] * static_cast<uint64_t>(rate) / static_cast<uint64_t>(source_rate);
      std::vector<float> taps = resample_taps(resampler.get(), nearest->taps[ear]);
      // An ear without taps is silent, not unfiltered: give it one zero tap.
      if (taps.empty()) taps.push_back(0.0f);
      if (delay[ear] + taps.size() > kMaxFilterLength)
        throw DesignError("filters of " + std::to_string(delay[ear] + taps.size()) +
                          " taps exceed the limit of " + std::to_string(kMaxFilterLength));
      std::vector<float> &f = filters[c][ear];
      f.assign(delay[ear], 0.0f);
      f.insert(f.end(), taps.begin(), taps.end());
    }
    any_filter = true;
  }
  if (!any_filter) throw DesignError("the layout has only LFE channels");
  return filters;
}

}  // namespace binaural
