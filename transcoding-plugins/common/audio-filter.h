// AudioTransform: a BaseTransform for raw audio with the negotiated formats, a drain at every
// discontinuity and continuous output timestamps.
#pragma once

#include <gst/audio/audio.h>

#include "transcoding-plugins/common/base-transform.h"

class AudioTransform : public BaseTransform {
 public:
  explicit AudioTransform(BaseTransformElement *element);
  ~AudioTransform() override;

  bool start() override;
  BufferList transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override;
  BufferList flush() override;
  bool set_caps(const fn::AutoPtr<GstCaps> &incaps, const fn::AutoPtr<GstCaps> &outcaps) override;
  bool sink_event(const fn::AutoPtr<GstEvent> &event) override;

  // in_info or out_info changed: rebuild the processing state.
  virtual void audio_info_did_change();
  // The outputs for one input buffer; `input` is null when the subclass is asked to drain.
  // Returned buffers must be writable (allocate_buffer gives such buffers).
  virtual BufferList filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) = 0;

  GstAudioInfo in_info;
  GstAudioInfo out_info;
  GstClockTime next_timestamp = GST_CLOCK_TIME_NONE;

 private:
  // A DISCONT input arrived: the first buffer of the new stretch gets the flag too, even when
  // a drained tail goes out ahead of it.
  bool mark_discont_ = false;
};
