// Real media made at test time with stock encoders, cached in the build tree.
#pragma once

#include <string>

namespace testsupport::media {

// Path of a clip made by a gst-launch pipeline in which "{out}" names the output file. The
// file is made once (keyed by name and pipeline) and reused by later tests and runs. Returns
// an empty string if the pipeline fails.
std::string gst_clip(const std::string &name, const std::string &pipeline);

// Same with a shell command (ffmpeg, for formats GStreamer does not write).
std::string command_clip(const std::string &name, const std::string &command);

// 320x240 25 fps, 75 frames, x264 with B-frames, IDR every 25 frames, AVC in MP4.
std::string h264_mp4();
// The same video with 2 s of stereo AAC (avenc_aac) in MP4.
std::string h264_aac_mp4();

// MPEG-2 (mpeg2enc), 176x144 25 fps, 30 frames, I B B P with an open GOP, as an elementary
// stream; the same remuxed by FFmpeg (which derives PTS and DTS) into MPEG-TS and MPEG-PS.
std::string mpeg2_es();
std::string mpeg2_ts();
std::string mpeg2_ps();
// Soft telecine: 24000/1001 film coded at 30000/1001 with repeat_first_field (3:2 pulldown),
// 176x120, 24 frames with B-frames, as elementary stream and in MPEG-TS.
std::string mpeg2_pulldown_es();
std::string mpeg2_pulldown_ts();

// MPEG-4 Part 2 with two B-frames between references, 176x144 25 fps, 30 frames, in AVI:
// FFmpeg's encoder with an XviD tag, and avenc_mpeg4 through avimux.
std::string mpeg4_avi();
std::string mpeg4_avi_gst();

}  // namespace testsupport::media
