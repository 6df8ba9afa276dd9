#include "transcoding-plugins/base-plugins/binaural-downmixer.h"

#include <gst/audio/audio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/biquad.h"

namespace {

using namespace testsupport;
using Positions = std::vector<GstAudioChannelPosition>;
#define POSITION(name) GST_AUDIO_CHANNEL_POSITION_##name
constexpr auto FL = POSITION(FRONT_LEFT), FR = POSITION(FRONT_RIGHT), FC = POSITION(FRONT_CENTER),
               LFE = POSITION(LFE1), RL = POSITION(REAR_LEFT), RR = POSITION(REAR_RIGHT),
               SL = POSITION(SIDE_LEFT), SR = POSITION(SIDE_RIGHT);

// A 48 kHz float layout.
const auto layout = [](Positions p) {
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, 48000, gint(p.size()), p.data());
  return info;
};

// One 48 kHz entry per azimuth with one tap per ear holding the azimuth itself, so that the
// filters tell which entry each speaker got; or decaying random responses of `taps` taps.
hrtf::Set
make_set(std::vector<int> azimuths, size_t dl = 0, size_t dr = 0, size_t taps = 0)
{
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 2.0f / std::sqrt(float(taps + 1)));
  hrtf::Set set;
  for (int a : azimuths) {
    hrtf::Entry e{a, {dl, dr}, {{{float(a)}, {float(a)}}}};
    for (size_t i = 0; i < taps; ++i)
      for (auto &t : e.taps) t[i] = noise(rng) * std::exp(-3.0f * i / taps), t.push_back(0);
    set[48000].push_back(std::move(e));
  }
  return set;
}

// Each speaker's entry and, when not zero, its ear delays: "30 330 0(3,0) -" (LFE: "-").
TEST(BinauralDesign, NearestEntryPerSpeakerWithScaledDelays)
{
  std::vector<int> every5(72);
  for (int i = 0; i < 72; ++i) every5[i] = 5 * i;
  // Set, layout, head scale, testing layout, expected.
  const std::tuple<hrtf::Set, Positions, float, bool, std::string> kCases[] = {
      {make_set(every5), {FL, FR, FC, LFE, SL, SR}, 1, false, "30 330 0 - 120 240"},
      {make_set(every5), {FL, FR, FC, LFE, SL, SR}, 1, true, "45 315 0 - 135 225"},
      {make_set(every5), {FL, FR, FC, LFE, RL, RR, SL, SR}, 1, false, "30 330 0 - 135 225 90 270"},
      {make_set(every5), {FL, FR, FC, LFE, RL, RR}, 1, false, "30 330 0 - 120 240"},
      {make_set({0, 60, 330}), {FL, FR}, 1, false, "0 330"},  // ties go to the earlier entry
      // Only the interaural difference is kept, scaled by the head size except straight ahead.
      {make_set({30}, 10, 25), {FL}, 2, false, "30(0,30)"},
      {make_set({30}, 10, 25), {FL}, 1, false, "30(0,15)"},
      {make_set({30}, 25, 10), {FL}, 0, false, "30"},
      {make_set({0}, 5, 2), {FC}, 2, false, "0(3,0)"},
      {hrtf::Set(), {FL, FR}, 1, false, "error"},
  };
  for (const auto &[set, positions, head, testing, expected] : kCases) {
    std::string got;
    try {
      for (const auto &[l, r] : binaural::designFilters(set, layout(positions), head, testing))
        got += l.empty() ? " -"
               : " " + std::to_string(int(l.back())) + (l.size() + r.size() == 2 ? "" : "(" +
                 std::to_string(l.size() - 1) + "," + std::to_string(r.size() - 1) + ")");
    } catch (const binaural::DesignError &) {
      got = " error";
    }
    EXPECT_EQ(got.substr(1), expected);
  }
}

// Without entries at the stream rate the taps are resampled: a smooth response keeps its
// shape, so its sum grows with the rate ratio, and the delay is converted (441 -> 480).
TEST(BinauralDesign, OtherRatesAreResampled)
{
  std::vector<float> hann(441);
  for (size_t i = 0; i < hann.size(); ++i) hann[i] = 0.5 - 0.5 * std::cos(2 * G_PI * i / 440);
  const hrtf::Set set{{44100, {{0, {441, 0}, {hann, {0.5f}}}}}};
  const std::vector<float> left = binaural::designFilters(set, layout({FC}), 1, false)[0][0];
  ASSERT_GE(left.size(), 480u + 441u * 48000 / 44100 - 1);
  EXPECT_TRUE(std::all_of(left.begin(), left.begin() + 480, [](float v) { return v == 0.0f; }));
  // The Hann window sums to 220.
  EXPECT_NEAR(std::accumulate(left.begin(), left.end(), 0.0), 220.0 * 48000 / 44100, 2.2);
  EXPECT_NEAR(*std::max_element(left.begin(), left.end()), 1.0, 0.01);
}

// Appends the interleaved float samples of every buffer.
std::vector<float>
samples(const std::vector<Ref<GstBuffer>> &buffers)
{
  std::vector<float> out;
  for (const auto &b : buffers) {
    out.resize(out.size() + gst_buffer_get_size(b.get()) / sizeof(float));
    gst_buffer_extract(b.get(), 0, out.data() + out.size() - gst_buffer_get_size(b.get()) / 4, -1);
  }
  return out;
}

// The element's signal chain written out directly in double precision: -7 dB, a 14 kHz +5 dB
// high shelf (the tested biquad block), full linear convolution, the LFE added unfiltered at
// gain 0.5, -2 dB.
std::vector<double>
reference(const std::vector<float> &input, const std::vector<binaural::ChannelFilters> &filters)
{
  const size_t channels = filters.size(), frames = input.size() / channels;
  std::vector<double> out(frames * 2, 0.0), x(frames);
  for (size_t c = 0; c < channels; ++c) {
    audio::Biquad shelf;
    shelf.setBiquad(audio::Biquad::highshelf, 14000.0 / 48000, 0, 5.0);
    for (size_t t = 0; t < frames; ++t) x[t] = shelf.process(input[t * channels + c] * 0.44668359);
    for (size_t e = 0; e < 2; ++e)
      for (size_t t = 0; t < frames; ++t) {
        const std::vector<float> &h = filters[c][e];
        double acc = h.empty() ? input[t * channels + c] * 0.5 : 0.0;
        for (size_t k = 0; k < std::min(h.size(), t + 1); ++k) acc += h[k] * x[t - k];
        out[2 * t + e] += acc * 0.79432823;  // -2 dB
      }
  }
  return out;
}

// Quiet 5.1 noise (the limiter only delays it) in chunks that straddle the processing blocks,
// with short and long filters: every output sample matches the direct convolution. After a
// discontinuity (a 10 s jump) or a flush the rest comes out as if it were a new stream.
enum Cut { None, Discont, Flush };
using Run = std::tuple<size_t, size_t, Cut>;  // taps, frames per buffer, cut
class BinauralConvolution : public ::testing::TestWithParam<Run> {};

TEST_P(BinauralConvolution, MatchesDirectConvolution)
{
  const auto [taps, chunk, how] = GetParam();
  const hrtf::Set set = make_set({0, 30, 330, 120, 240}, 0, 0, taps);
  const auto filters = binaural::designFilters(set, layout({FL, FR, FC, LFE, RL, RR}), 1, false);
  const size_t frames = 3 * binaural::kBlockSize + 777, cut = how == None ? frames : 3 * chunk;
  std::mt19937 rng(3);
  std::vector<float> input(frames * 6);
  for (float &x : input) x = std::uniform_real_distribution<float>(-0.05f, 0.05f)(rng);

  Harness h(gst_harness_new("binauraldownmixer"));
  g_object_set(h->element, "hrtf", hrtf::toString(set).c_str(), "lfe-gain-factor", 0.5f, nullptr);
  gst_harness_set_src_caps_str(h.get(), "audio/x-raw,format=F32LE,layout=interleaved,rate=48000,"
                                        "channels=6,channel-mask=(bitmask)0x3f");
  for (size_t at = 0; at < frames; at += chunk) {
    GstBuffer *b = gst_buffer_new_memdup(&input[at * 6], std::min(chunk, frames - at) * 24);
    GST_BUFFER_PTS(b) = (at < cut ? 0 : 10 * GST_SECOND) + at * GST_SECOND / 48000;
    if (at == cut && how == Discont) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
    if (at == cut && how == Flush) {
      gst_harness_push_event(h.get(), gst_event_new_flush_start());
      gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE));
      gst_harness_push_event(h.get(), time_segment_event(0));
      pull_all(h.get());  // what came out before the flush
    }
    ASSERT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
  }
  gst_harness_push_event(h.get(), gst_event_new_eos());
  const std::vector<float> out = samples(pull_all(h.get()));
  std::vector<double> want = reference({input.begin(), input.begin() + cut * 6}, filters);
  const std::vector<double> rest = reference({input.begin() + cut * 6, input.end()}, filters);
  want.erase(want.begin(), how == Flush ? want.end() : want.begin());
  want.insert(want.end(), rest.begin(), rest.end());
  ASSERT_EQ(out.size(), want.size()) << "output length differs from input";
  EXPECT_GT(*std::max_element(want.begin(), want.end()), 0.02);
  for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(out[i], want[i], 1e-5) << i;
}

INSTANTIATE_TEST_SUITE_P(Runs, BinauralConvolution,
                         ::testing::Values(Run{512, 1000, None}, Run{3000, 2048, None},
                                           Run{700, 333, Discont}, Run{2048, 1024, Flush}));

// Real pipelines with the built-in set: every frame comes out as stereo, full-scale noise
// limited to 0.85, silence silent. Unusable layouts and sets are refused with a reason.
TEST(BinauralPipeline, DownmixesAudioTestSrcOrRefusesWithAReason)
{
  const std::string empty_rate = hrtf::toString(hrtf::Set{{48000, {}}}).c_str();
  // Input caps, element properties, expected error, frames in each of the 20 buffers.
  const std::tuple<std::string, std::string, const char *, int> kCases[] = {
      {"rate=48000,channels=6,channel-mask=(bitmask)0x60f", "", "", 1000},
      {"rate=48000,channels=6,channel-mask=(bitmask)0x60f", "", "", 100},  // shorter than the delay
      {"rate=48000,channels=8,channel-mask=(bitmask)0x63f", "", "", 1000},
      {"rate=44100,channels=2,channel-mask=(bitmask)0x3", "", "", 1000},
      {"rate=48000,channels=1", "", "mono", 1000},
      {"rate=48000,channels=1,channel-mask=(bitmask)0x8", "", "LFE", 1000},
      {"rate=48000,channels=2", "hrtf=not*base64", "cannot decode", 1000},
      {"rate=48000,channels=2", "hrtf=\"" + empty_rate + "\"", "no entries", 1000},
  };
  for (const auto &[caps, props, error, spb] : kCases)
    for (const char *wave : {"white-noise", "silence"}) {
      SCOPED_TRACE(caps + " " + wave);
      const CollectResult r = collect_buffers(
          "audiotestsrc num-buffers=20 samplesperbuffer=" + std::to_string(spb) + " wave=" + wave +
          " ! audio/x-raw,format=F32LE,layout=interleaved," + caps + " ! binauraldownmixer " +
          props + " ! fakesink name=sink");
      if (*error) {
        EXPECT_NE(r.error.find(error), std::string::npos) << r.error;
        break;
      }
      ASSERT_TRUE(r.ok) << r.error;
      const std::vector<float> out = samples(r.buffers);
      float peak = 0;
      for (float v : out) peak = std::max(peak, std::fabs(v));
      EXPECT_EQ(out.size(), 2 * 20u * spb);
      EXPECT_LE(peak, 0.85f);
      EXPECT_EQ(peak > 0.1f, wave[0] == 'w');
    }
}

}  // namespace
