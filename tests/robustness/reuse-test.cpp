// Every factory reused the way a long-lived service reuses pipelines: run to EOS, set READY, run
// again; then a flushing seek back to the start in the middle of a run. The later runs must
// give what the first gave: the same buffers (bytes, timestamps, flags), caps and events.
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

std::string
none() {
  return "";
}
std::string
h264() {
  return media::h264_no_bframes_mp4();
}
std::string
adts() {
  return media::aac_adts(48000, 2);
}
std::string
truehd() {
  return media::truehd(48000, 2);
}
std::string
h265() {
  return media::gst_clip("reuse-h265.mkv",
                         "videotestsrc num-buffers=20 ! capsfilter caps=video/x-raw,format=I420,"
                         "width=64,height=64,framerate=25/1 ! x265enc speed-preset=ultrafast "
                         "key-int-max=10 ! h265parse ! matroskamux ! filesink location={out}");
}
// VC-1 advanced profile made with the bit writer (no encoder exists), as a raw byte stream.
std::string
vc1() {
  namespace v = vc1_stream;
  const std::string path = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/reuse.vc1";
  v::SequenceHeader seq;
  v::Bytes all = v::sequence_header(seq);
  v::append(all, v::entry_point(seq));
  for (int i = 0; i < 20; ++i) {
    v::FrameSpec f;
    f.type = i % 5 ? v::Picture::kP : v::Picture::kI;
    f.seed = static_cast<guint8>(i);
    v::append(all, v::frame(seq, {}, f));
  }
  g_mkdir_with_parents(std::string(path, 0, path.rfind('/')).c_str(), 0755);
  return g_file_set_contents(path.c_str(), reinterpret_cast<const char *>(all.data()), all.size(),
                             nullptr)
             ? path
             : "";
}

struct Case {
  const char *name;
  const char *needs;
  std::string (*input)();
  const char *pipeline;  // up to the sink; {in} names the input file
};

// audiotestsrc does not restart its waveform after a seek: play the tones from a file.
template <int kChannels>
std::string
wav()
{
  return media::gst_clip("reuse-" + std::to_string(kChannels) + ".wav",
                         "audiotestsrc num-buffers=10 samplesperbuffer=960 ! capsfilter caps=audio/"
                         "x-raw,format=F32LE,layout=interleaved,rate=48000,channels=" +
                         std::to_string(kChannels) + " ! wavenc ! filesink location={out}");
}
#define AUDIO "filesrc location={in} ! wavparse ! "
#define VIDEO(format)                                                        \
  "videotestsrc num-buffers=10 ! capsfilter caps=video/x-raw,format=" format \
  ",width=64,height=48 ! "

const Case kCases[] = {
    {"bufferskip", "videotestsrc", none, VIDEO("I420") "bufferskip amount=2 ! "},
    {"aactransform", "avenc_aac", adts, "filesrc location={in} ! aacparse ! aactransform ! "},
    {"audiotimestampcorrector", "audiotestsrc", wav<2>, AUDIO "audiotimestampcorrector ! "},
    {"buffermerge", "audiotestsrc", wav<2>, AUDIO "buffermerge amount=2 ! "},
    {"cachedfilesrc", "ffmpeg", truehd, "cachedfilesrc location={in} blocksize=1000 ! "},
    {"h264postprocessor", "x264enc", h264,
     "filesrc location={in} ! qtdemux name=demux h264parse name=after ! h264postprocessor ! "},
    {"h264processor", "x264enc", h264, "filesrc location={in} ! qtdemux name=demux h264parse name=after ! h264processor ! "},
    {"h265postprocessor", "x265enc", h265,
     "filesrc location={in} ! matroskademux name=demux h265parse name=after ! "
     "video/x-h265,stream-format=hvc1 ! "
     "h265postprocessor ! "},
    {"mlpparse", "ffmpeg", truehd, "filesrc location={in} ! audio/x-true-hd ! mlpparse ! "},
    {"mpegtimestampparser", "mpeg2enc", media::mpeg2_ts,
     "filesrc location={in} ! tsdemux name=demux mpegvideoparse name=after ! mpegtimestampparser ! "},
    {"mpeg4postprocessor", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux name=demux mpeg4videoparse name=after ! mpeg4postprocessor ! "},
    {"mpeg4timestampparser", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux name=demux mpeg4videoparse name=after ! mpeg4timestampparser ! "},
    {"vc1parse2", "vc1parse2", vc1,
     "filesrc location={in} ! video/x-wmv,wmvversion=3,format=WVC1 ! vc1parse2 ! "},
    {"vp9superframesplitter", "ffmpeg", media::vp9_superframes_webm,
     "filesrc location={in} ! matroskademux name=demux vp9superframesplitter name=after ! "},
    {"yv12converter", "videotestsrc", none, VIDEO("YV12") "yv12converter ! "},
    {"mpegparsebin", "mpeg2enc", media::mpeg2_ts,
     "filesrc location={in} ! tsdemux name=demux mpegparsebin name=after ! "},
    {"mpeg4parsebin", "ffmpeg", media::mpeg4_avi,
     "filesrc location={in} ! avidemux name=demux mpeg4parsebin name=after ! "},
    {"h264parsebin", "x264enc", h264, "filesrc location={in} ! qtdemux name=demux h264parsebin name=after ! "},
    {"h265parsebin", "x265enc", h265, "filesrc location={in} ! matroskademux name=demux h265parsebin name=after ! "},
    {"dynamicaudionormalizer", "audiotestsrc", wav<2>,
     AUDIO "dynamicaudionormalizer frame-length=20 filter-size=3 ! "},
    {"binauraldownmixer", "audiotestsrc", wav<6>, AUDIO "binauraldownmixer ! "},
    {"opuschannelmap", "audiotestsrc", wav<6>, AUDIO "opuschannelmap ! "},
};

// What reaches the sink; a flush starts the record again.
struct Record {
  std::mutex lock;
  GstElement *pipeline = nullptr;
  bool seek = false, seeking = false, seek_done = false, seek_failed = false, flushed = false;
  bool eos = false;
  std::vector<std::string> buffers, events;
};

GstPadProbeReturn
record(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *r = static_cast<Record *>(data);
  std::lock_guard<std::mutex> guard(r->lock);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer *b = GST_PAD_PROBE_INFO_BUFFER(info);
    r->buffers.push_back(std::to_string(GST_BUFFER_PTS(b)) + " " +
                         std::to_string(GST_BUFFER_DTS(b)) + " " +
                         std::to_string(GST_BUFFER_DURATION(b)) + " " +
                         std::to_string(GST_BUFFER_FLAGS(b) & ~GST_BUFFER_FLAG_DISCONT) + " " +
                         media::bytes_md5(buffer_bytes(b)));
    if (r->seek && !r->seeking) {
      r->seeking = true;
      gst_element_call_async(
          r->pipeline,
          +[](GstElement *pipeline, gpointer d) {
            // Sources that know no time are sought in bytes.
            const bool ok =
                gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 0) ||
                gst_element_seek_simple(pipeline, GST_FORMAT_BYTES, GST_SEEK_FLAG_FLUSH, 0);
            auto *r = static_cast<Record *>(d);
            std::lock_guard<std::mutex> guard(r->lock);
            r->seek_failed = !ok;
            r->seek_done = true;
          },
          r, nullptr);
    }
    return GST_PAD_PROBE_OK;
  }
  GstEvent *e = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_STOP) {
    r->flushed = true;
    r->buffers.clear();
    r->events.clear();
  }
  if (GST_EVENT_TYPE(e) == GST_EVENT_EOS && (!r->seek || r->flushed)) r->eos = true;
  std::string text = GST_EVENT_TYPE_NAME(e);
  if (GST_EVENT_TYPE(e) == GST_EVENT_CAPS) {
    GstCaps *caps;
    gst_event_parse_caps(e, &caps);
    gchar *s = gst_caps_to_string(caps);
    text += std::string(" ") + s;
    g_free(s);
  }
  r->events.push_back(text);
  return GST_PAD_PROBE_OK;
}

class Reuse : public ::testing::TestWithParam<Case> {
 protected:
  // Plays the pipeline to EOS (after the seek when `seek`), then sets it to READY.
  void play(GstElement *pipeline, bool seek) {
    {
      std::lock_guard<std::mutex> guard(r_.lock);
      r_.pipeline = pipeline;
      r_.seek = seek;
      r_.seeking = r_.seek_done = r_.seek_failed = r_.flushed = r_.eos = false;
      r_.buffers.clear();
      r_.events.clear();
    }
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      Ref<GstMessage> msg =
          gstref::adopt(gst_bus_timed_pop_filtered(bus.get(), 10 * GST_MSECOND, GST_MESSAGE_ERROR));
      if (msg) {
        GError *error = nullptr;
        gst_message_parse_error(msg.get(), &error, nullptr);
        ADD_FAILURE() << GST_MESSAGE_SRC_NAME(msg.get()) << ": " << error->message;
        g_clear_error(&error);
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no EOS";
      std::lock_guard<std::mutex> guard(r_.lock);
      ASSERT_FALSE(r_.seek_failed) << "the seek failed";
      if (r_.eos && (!seek || r_.seek_done)) break;
    }
    gst_element_set_state(pipeline, GST_STATE_READY);
  }
  Record r_;
};

TEST_P(Reuse, AfterReadyAndAfterAFlushingSeekTheOutputRepeats) {
  const Case &c = GetParam();
  if (!have_factory(c.name)) GTEST_SKIP() << c.name << " is not built";
  if (!have_factory(c.needs) && !have_program(c.needs)) GTEST_SKIP() << "needs " << c.needs;
  std::string description = std::string(c.pipeline) + "fakesink name=sink sync=false";
  if (const auto pos = description.find("{in}"); pos != std::string::npos) {
    const std::string input = c.input();
    ASSERT_FALSE(input.empty());
    description.replace(pos, 4, input);
  }
  GError *error = nullptr;
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), &error));
  ASSERT_TRUE(pipeline && !error) << (error ? error->message : "");
  // A demuxer makes new pads on every run; a launch line links them only once.
  Ref<GstElement> demux = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "demux"));
  Ref<GstElement> after = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "after"));
  auto link = +[](GstElement *, GstPad *pad, GstElement *next) {
    Ref<GstPad> sink = gstref::adopt(gst_element_get_static_pad(next, "sink"));
    if (!gst_pad_is_linked(sink.get())) gst_pad_link(pad, sink.get());
  };
  if (demux) g_signal_connect(demux.get(), "pad-added", G_CALLBACK(link), after.get());
  Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
  gst_pad_add_probe(
      pad.get(),
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                   GST_PAD_PROBE_TYPE_EVENT_FLUSH),
      record, &r_, nullptr);

  play(pipeline.get(), false);
  const std::vector<std::string> buffers = r_.buffers, events = r_.events;
  ASSERT_GE(buffers.size(), 2u);
  play(pipeline.get(), false);
  EXPECT_EQ(r_.buffers, buffers) << "second run";
  EXPECT_EQ(r_.events, events) << "second run";
  play(pipeline.get(), true);
  EXPECT_EQ(r_.buffers, buffers) << "after the seek";
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

INSTANTIATE_TEST_SUITE_P(AllFactories, Reuse, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
