// Real media made at test time with stock encoders, cached in the build tree.
#pragma once

#include <string>
#include <vector>

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
