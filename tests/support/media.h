// Real media made at test time with stock encoders, cached in the build tree.
#pragma once

#include <gst/gst.h>

#include <string>
#include <vector>

#include "transcoding-plugins/common/gst-ref.h"

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

// H.264 from x264enc (byte-stream=false, through h264parse) in MP4, 160x120 at 25 fps:
// no B-frames, 75 frames, IDR every 25.
std::string h264_no_bframes_mp4();
// No B-frames, 125 frames, one IDR every 100 frames (4 s GOP).
std::string h264_long_gop_mp4();
// Open GOP: 100 frames with B-frames; frame 50 is a non-IDR I picture with a recovery point.
std::string h264_open_gop_mp4();

// Caps and access units of an encoded stream, in decoding order.
struct EncodedStream {
  gstref::Ref<GstCaps> caps;
  std::vector<gstref::Ref<GstBuffer>> buffers;
};
// The H.264 video of an MP4 file as AVC access units from h264parse.
EncodedStream read_h264_avc(const std::string &path);

struct DecodedFrame {
  GstClockTime pts;
  std::string md5;
};
// Decodes `buffers` (with `caps`) with avdec_h264 to I420 and checksums each frame.
std::vector<DecodedFrame> decode_h264(GstCaps *caps, const std::vector<GstBuffer *> &buffers);
// 160x120 25 fps, 50 frames of VP9 (profile 0) in WebM from a two-pass libvpx encode with
// alt-ref frames, so that several packets are superframes holding a hidden frame.
std::string vp9_superframes_webm();
// MPEG-2 (mpeg2enc), 176x144 25 fps, 30 frames, I B B P with an open GOP, as an elementary
// stream; the same remuxed by FFmpeg (which derives PTS and DTS) into MPEG-TS and MPEG-PS.
std::string mpeg2_es();
std::string mpeg2_ts();
std::string mpeg2_ps();
// Soft telecine: 24000/1001 film coded at 30000/1001 with repeat_first_field (3:2 pulldown),
// 176x120, 24 frames with B-frames, in MPEG-TS.
std::string mpeg2_pulldown_ts();

// MPEG-4 Part 2 with two B-frames between references, 176x144 25 fps, 30 frames, in AVI:
// FFmpeg's encoder with an XviD tag, and avenc_mpeg4 through avimux.
std::string mpeg4_avi();
std::string mpeg4_avi_gst();
// Half a second of a distinct tone per channel (channels 2 or 6), by FFmpeg's encoders:
// raw TrueHD, raw MLP, and AC-3 at 448 kbit/s (1792-byte frames at 48 kHz).
std::string truehd(int rate, int channels);
std::string mlp(int rate, int channels);
std::string ac3_448k(int rate, int channels);
// ADTS by avenc_aac + aacparse (F32LE source), about 0.5 s.
std::string aac_adts(int rate, int channels);
// LOAS/LATM by FFmpeg's AAC encoder and latm muxer, about 0.5 s.
std::string aac_loas(int rate, int channels);

// MD5 of the PCM that FFmpeg decodes from `path`, interleaved in `format` ("S32LE" or
// "F32LE"); empty on failure. Compare decoders in their own sample format so that no
// conversion differs between the two sides.
std::string ffmpeg_pcm_md5(const std::string &path, const std::string &format = "S32LE",
                           const std::string &input_options = "");
// MD5 of a file's bytes; empty when it cannot be read.
std::string file_md5(const std::string &path);
// MD5 of a byte block.
std::string bytes_md5(const std::vector<unsigned char> &bytes);
// Runs `decode_pipeline` (a gst-launch fragment producing raw audio) into a temporary file as
// interleaved `format` and returns the MD5 of that PCM; empty on failure.
std::string gst_pcm_md5(const std::string &decode_pipeline, const std::string &format = "S32LE");

// Reads a whole file; empty when it cannot be read.
std::vector<unsigned char> read_file(const std::string &path);

}  // namespace testsupport::media
