// Every factory reused the way a long-lived service reuses pipelines: run to EOS, set READY, run
// again; then a flushing seek back to the start once the sink has prerolled. The later runs must
// give what the first gave: the same buffers (bytes, timestamps, flags), caps and events.
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

// VC-1 advanced profile made with the bit writer (no encoder exists), as a raw byte stream.
std::string
vc1()
{
  namespace v = vc1_stream;
  const std::string dir = g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".", path = dir + "/reuse.vc1";
  v::SequenceHeader seq;
  v::Bytes all = v::sequence_header(seq) + v::entry_point(seq);
  for (guint8 i = 0; i < 20; ++i)
    v::append(all, v::frame(seq, {}, {.type = i % 5 ? v::Picture::kP : v::Picture::kI, .seed = i}));
  g_mkdir_with_parents(dir.c_str(), 0755);
  const auto *data = reinterpret_cast<const char *>(all.data());
  return g_file_set_contents(path.c_str(), data, all.size(), nullptr) ? path : "";
}

// Test sources repeat neither their content after a restart nor their buffer count after a
// seek: even raw media comes from files. Pixels are not square: with 1/1 the stock h265parse
// leaves the field out of a second run's caps.
#define RAW_VIDEO(format)                                                    \
  "videotestsrc num-buffers=20 ! capsfilter caps=video/x-raw,format=" format \
  ",width=64,height=64,framerate=25/1,pixel-aspect-ratio=4/3 ! "
#define RAW_AUDIO(channels)                                                                      \
  "audiotestsrc num-buffers=25 samplesperbuffer=960 ! capsfilter caps=audio/x-raw,format=F32LE," \
  "layout=interleaved,rate=48000,channels=" channels " ! wavenc"
#define CLIP(name, pipeline) \
  [] { return media::gst_clip("reuse-" name, pipeline " ! filesink location={out}"); }

std::string (*const h264)() = CLIP("h264.mp4", RAW_VIDEO("I420") "x264enc key-int-max=10 "
                                                                  "bframes=0 ! h264parse ! mp4mux");
std::string (*const h265)() = CLIP("h265.mkv", RAW_VIDEO("I420") "x265enc speed-preset=ultrafast "
                                                                  "key-int-max=10 ! h265parse ! "
                                                                  "matroskamux");
// A tenth of a second: mlpparse gives a buffer per 40 samples.
std::string (*const truehd)() = [] {
  return media::command_clip("reuse.thd",
                             "ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc="
                             "sin(440*2*PI*t)|sin(550*2*PI*t):s=48000:d=0.1' "
                             "-strict -2 -c:a truehd -f truehd {out}");
};

struct Case {
  const char *name;
  std::string (*input)();
  const char *pipeline;  // up to the sink; {in} names the input file
  // Stock elements in front stamp a second run differently (basesrc the first buffer,
  // mpeg4videoparse PTS, h265parse DTS): timestamps are not compared then.
  bool stock_times = false;
};

#define WAV "filesrc location={in} ! wavparse ! "
#define DEMUX(demuxer, next) "filesrc location={in} ! " demuxer " name=demux " next " name=after ! "

const Case kCases[] = {
    {"bufferskip", CLIP("i420.mkv", RAW_VIDEO("I420") "matroskamux"),
     DEMUX("matroskademux", "bufferskip amount=2")},
    {"yv12converter", CLIP("yv12.mkv", RAW_VIDEO("YV12") "matroskamux"),
     DEMUX("matroskademux", "yv12converter")},
    {"aactransform", [] { return media::aac_adts(48000, 2); },
     "filesrc location={in} ! aacparse ! aactransform ! "},
    {"audiotimestampcorrector", CLIP("2.wav", RAW_AUDIO("2")), WAV "audiotimestampcorrector ! "},
    {"buffermerge", CLIP("2.wav", RAW_AUDIO("2")), WAV "buffermerge amount=2 ! "},
    {"dynamicaudionormalizer", CLIP("2.wav", RAW_AUDIO("2")),
     WAV "dynamicaudionormalizer frame-length=20 filter-size=3 ! "},
    {"binauraldownmixer", CLIP("6.wav", RAW_AUDIO("6")), WAV "binauraldownmixer ! "},
    {"opuschannelmap", CLIP("6.wav", RAW_AUDIO("6")), WAV "opuschannelmap ! "},
    {"cachedfilesrc", truehd, "cachedfilesrc location={in} blocksize=1000 ! ", true},
    {"mlpparse", truehd, "filesrc location={in} ! audio/x-true-hd ! mlpparse ! "},
    {"vc1parse2", vc1,
     "filesrc location={in} ! video/x-wmv,wmvversion=3,format=WVC1 ! vc1parse2 ! ", true},
    {"h264processor", h264, DEMUX("qtdemux", "h264parse") "h264processor ! "},
    {"h264postprocessor", h264, DEMUX("qtdemux", "h264parse") "h264postprocessor ! "},
    {"h265postprocessor", h265,
     DEMUX("matroskademux", "h265parse") "video/x-h265,stream-format=hvc1 ! h265postprocessor ! "},
    {"mpegtimestampparser", media::mpeg2_ts,
     DEMUX("tsdemux", "mpegvideoparse") "mpegtimestampparser ! "},
    {"mpeg4timestampparser", media::mpeg4_avi,
     DEMUX("avidemux", "mpeg4videoparse") "mpeg4timestampparser ! "},
    {"mpeg4postprocessor", media::mpeg4_avi,
     DEMUX("avidemux", "mpeg4videoparse") "mpeg4postprocessor ! ", true},
    {"vp9superframesplitter", media::vp9_superframes_webm,
     DEMUX("matroskademux", "vp9superframesplitter")},
    {"mpegparsebin", media::mpeg2_ts, DEMUX("tsdemux", "mpegparsebin")},
    {"mpeg4parsebin", media::mpeg4_avi, DEMUX("avidemux", "mpeg4parsebin")},
    {"h264parsebin", h264, DEMUX("qtdemux", "h264parsebin")},
    {"h265parsebin", h265, DEMUX("matroskademux", "h265parsebin"), true},
};

// What reaches the sink; a flush starts the record again. Only the streaming thread writes it,
// and only between the state changes that start and stop streaming.
struct Record {
  bool times = true;
  std::vector<std::string> buffers, events;
  void clear() { buffers.clear(), events.clear(); }
};

// DISCONT follows from seeks; TAG_MEMORY says only how a demuxer built the buffer.
constexpr guint kUnstableFlags = GST_BUFFER_FLAG_DISCONT | GST_BUFFER_FLAG_TAG_MEMORY;

GstPadProbeReturn
record(GstPad *, GstPadProbeInfo *info, gpointer data)
{
  auto *r = static_cast<Record *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer *b = GST_PAD_PROBE_INFO_BUFFER(info);
    std::string text = std::to_string(GST_BUFFER_DURATION(b)) + " " +
                       std::to_string(GST_BUFFER_FLAGS(b) & ~kUnstableFlags) + " " +
                       media::bytes_md5(buffer_bytes(b));
    if (r->times)
      text += " " + std::to_string(GST_BUFFER_PTS(b)) + " " + std::to_string(GST_BUFFER_DTS(b));
    r->buffers.push_back(text);
    return GST_PAD_PROBE_OK;
  }
  GstEvent *e = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_STOP) r->clear();
  // Stock parsers in front send a varying number of tag events.
  if (GST_EVENT_TYPE(e) == GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  const bool caps = GST_EVENT_TYPE(e) == GST_EVENT_CAPS;
  gchar *text = caps ? gst_structure_to_string(gst_event_get_structure(e)) : g_strdup("");
  r->events.push_back(std::string(GST_EVENT_TYPE_NAME(e)) + " " + text);
  g_free(text);
  return GST_PAD_PROBE_OK;
}

class Reuse : public ::testing::TestWithParam<Case> {
 protected:
  // Plays the pipeline to EOS, with a flushing seek to the start after preroll when `seek`,
  // then sets it to READY.
  void play(GstElement *pipeline, bool seek)
  {
    r_.clear();
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    // Sources that know no time are sought in bytes.
    if (seek) {
      ASSERT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 0) ||
                  gst_element_seek_simple(pipeline, GST_FORMAT_BYTES, GST_SEEK_FLAG_FLUSH, 0));
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline));
    Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
        bus.get(), 10 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    gst_element_set_state(pipeline, GST_STATE_READY);
    ASSERT_TRUE(msg) << "no EOS";
    EXPECT_EQ(GST_MESSAGE_TYPE(msg.get()), GST_MESSAGE_EOS) << GST_MESSAGE_SRC_NAME(msg.get());
  }
  Record r_;
};

TEST_P(Reuse, AfterReadyAndAfterAFlushingSeekTheOutputRepeats)
{
  const Case &c = GetParam();
  if (!have_factory(c.name)) GTEST_SKIP() << c.name << " is not built";
  std::string description = std::string(c.pipeline) + "fakesink name=sink sync=false";
  const std::string input = c.input();
  ASSERT_FALSE(input.empty());
  description.replace(description.find("{in}"), 4, input);
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), nullptr));
  ASSERT_TRUE(pipeline) << description;
  GstBin *bin = GST_BIN(pipeline.get());
  // A demuxer makes new pads on every run; a launch line links them only once.
  Ref<GstElement> demux = gstref::adopt(gst_bin_get_by_name(bin, "demux"));
  Ref<GstElement> after = gstref::adopt(gst_bin_get_by_name(bin, "after"));
  auto link = +[](GstElement *demux, GstPad *, GstElement *next) { gst_element_link(demux, next); };
  if (demux) g_signal_connect(demux.get(), "pad-added", G_CALLBACK(link), after.get());
  Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(bin, "sink"));
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(sink.get(), "sink"));
  r_.times = !c.stock_times;
  const int types = GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                    GST_PAD_PROBE_TYPE_EVENT_FLUSH;
  gst_pad_add_probe(pad.get(), static_cast<GstPadProbeType>(types), record, &r_, nullptr);

  play(pipeline.get(), false);
  const Record first = r_;
  EXPECT_GE(first.buffers.size(), 2u);
  play(pipeline.get(), false);
  EXPECT_EQ(r_.buffers, first.buffers) << "second run";
  EXPECT_EQ(r_.events, first.events) << "second run";
  play(pipeline.get(), true);
  EXPECT_EQ(r_.buffers, first.buffers) << "after the seek";
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

INSTANTIATE_TEST_SUITE_P(AllFactories, Reuse, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
