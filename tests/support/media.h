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

// 160x120 25 fps, 50 frames of VP9 (profile 0) in WebM from a two-pass libvpx encode with
// alt-ref frames, so that several packets are superframes holding a hidden frame.
std::string vp9_superframes_webm();

}  // namespace testsupport::media
