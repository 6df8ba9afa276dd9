// yv12converter against videoconvert (YV12 to I420, one thread) on the same pre-made,
// distinct, writable frames from appsrc.
//   yv12-converter-bench [frames=60] [rounds=5] [width=1920] [height=1080]
#include <gst/video/video.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench-common.h"

namespace {

std::vector<GstBuffer *>
make_frames(const GstVideoInfo &info, int count)
{
  std::vector<GstBuffer *> frames;
  for (int i = 0; i < count; ++i) {
    GstBuffer *b = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    GstMapInfo map;
    gst_buffer_map(b, &map, GST_MAP_WRITE);
    for (gsize j = 0; j < map.size; ++j) map.data[j] = static_cast<guint8>(j * 7 + i);
    gst_buffer_unmap(b, &map);
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, 25);
    GST_BUFFER_DURATION(b) = GST_SECOND / 25;
    frames.push_back(b);
  }
  return frames;
}

}  // namespace

int
main(int argc, char **argv)
{
  bench::init(&argc, &argv);
  const int frames = argc > 1 ? std::atoi(argv[1]) : 60;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int width = argc > 3 ? std::atoi(argv[3]) : 1920;
  const int height = argc > 4 ? std::atoi(argv[4]) : 1080;

  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_YV12, width, height);
  info.fps_n = 25;
  info.fps_d = 1;
  GstCaps *caps = gst_video_info_to_caps(&info);

  const std::vector<std::pair<const char *, std::string>> cases = {
      {"yv12converter", "appsrc name=src ! yv12converter ! fakesink name=sink"},
      {"videoconvert",
       "appsrc name=src ! videoconvert n-threads=1 ! video/x-raw,format=I420 ! "
       "fakesink name=sink"},
  };
  std::vector<std::vector<double>> times(cases.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t c = 0; c < cases.size(); ++c) {
      guint64 out = 0;
      times[c].push_back(
          bench::time_pipeline(cases[c].second, caps, make_frames(info, frames), &out));
      if (out != static_cast<guint64>(frames)) {
        std::fprintf(stderr, "%s delivered %lu of %d frames\n", cases[c].first,
                     static_cast<unsigned long>(out), frames);
        return 1;
      }
    }
  }
  std::printf("%dx%d YV12 -> I420, %d frames, %d rounds (median)\n", width, height, frames,
              rounds);
  for (size_t c = 0; c < cases.size(); ++c) {
    const double ms = bench::median(times[c]);
    std::printf("  %-14s %8.1f ms  %7.3f ms/frame\n", cases[c].first, ms, ms / frames);
  }
  std::printf("  ratio yv12converter/videoconvert: %.3f\n",
              bench::median(times[0]) / bench::median(times[1]));
  const double ratio = bench::median(times[0]) / bench::median(times[1]);
  std::printf("RESULT|yv12converter (%dx%d)|videoconvert|%.3f ms/frame|%.3f ms/frame|%.3f|<= 0.5|%s\n",
              width, height, bench::median(times[0]) / frames, bench::median(times[1]) / frames,
              ratio, ratio <= 0.5 ? "yes" : "no");
  gst_caps_unref(caps);
  return 0;
}
