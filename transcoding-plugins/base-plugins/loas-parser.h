// LOAS/LATM (ISO/IEC 14496-3 1.7) frame parsing for aactransform.
#pragma once

#include <gst/base/gstbitreader.h>
#include <gst/base/gstbitwriter.h>
#include <gst/gst.h>

// Cross-frame state, kept in the aactransform instance: zero at creation, never reset.
struct LoasState {
  guint32 loas_initialized;  // a StreamMuxConfig was parsed to its end
  guint8 audio_mux_version_a;
  guint8 frame_length_type;
  guint16 frame_length;  // 9-bit frameLength of the last StreamMuxConfig with type 1
};

// What the AudioSpecificConfig parse of ISO/IEC 14496-3 1.6.2.1 found.
struct AacAudioConfig {
  guint8 first_object_type = 0;  // as signalled (5 or 29 for explicit SBR/PS)
  guint8 object_type = 0;        // the core object type
  guint8 sampling_index = 0;     // core samplingFrequencyIndex (15: explicit)
  guint32 sampling_frequency = 0;
  guint8 channel_configuration = 0;
  gboolean extension_flag = FALSE;  // GASpecificConfig extensionFlag
  gboolean ga_specific = FALSE;     // a GASpecificConfig was parsed
  // With channelConfiguration 0: where the program_config_element starts (bit position in the
  // reader) and its channel count, 0 when it is cut short.
  guint pce_position = 0;
  guint pce_channels = 0;
};

// Parses one LOAS frame in `buffer` (one AudioMuxElement with its sync layer), updating
// `state`. A slot that is given receives the access unit (`payload`) or the
// AudioSpecificConfig bits (`codec_data`) when the frame carries them. The buffer is not
// consumed. After FALSE the caller releases whatever the slots hold. Warnings go to
// `element` in the "aactransform" category; unsupported configurations post element errors.
gboolean loas_parse_frame(GstElement *element, LoasState *state, GstBuffer *buffer,
                          GstBuffer **payload, GstBuffer **codec_data);

// audioObjectType with its escape (31 -> 32 + 6 more bits).
gboolean loas_parse_object_type(GstBitReader *reader, guint8 *object_type);
// samplingFrequencyIndex with its escape (15 -> 24-bit frequency); the index and frequency
// are returned when asked for.
gboolean loas_parse_sample_rate(GstBitReader *reader, guint8 *index = nullptr,
                                guint32 *frequency = nullptr);
// program_config_element (ISO/IEC 14496-3 4.4.1.1) at the reader's position, its
// byte_alignment() taken from the start of the reader's data. With a `writer` the element is
// copied into it, aligned from the writer's start. `channels` counts the output channels:
// two per channel pair, one per single channel or LFE element. FALSE when the bits run out
// (or the writer is full); the reader then stands where they ran out.
gboolean aac_read_program_config_element(GstBitReader *reader, GstBitWriter *writer,
                                         guint *channels);
// AudioSpecificConfig up to the end of GASpecificConfig (AAC Main, LC, LTP) or of the
// object type fields (other types). Does not reject extensionFlag.
gboolean loas_parse_audio_specific_config(GstBitReader *reader, AacAudioConfig *config);

// The "aactransform" category, created on first use.
GstDebugCategory *aac_transform_debug_category();
