// AudioTransform: negotiated audio formats, drains at discontinuities, running timestamps.
#include "transcoding-plugins/common/audio-filter.h"

AudioTransform::AudioTransform(BaseTransformElement *owner) : BaseTransform(owner)
{
  gst_audio_info_init(&in_info);
  gst_audio_info_init(&out_info);
}

AudioTransform::~AudioTransform() = default;

bool
AudioTransform::start()
{
  next_timestamp = GST_CLOCK_TIME_NONE;
  mark_discont_ = false;
  return true;
}

BaseTransform::BufferList
AudioTransform::transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow)
{
  BufferList result;
  if (input && GST_BUFFER_IS_DISCONT(input.get())) {
    result = flush();
    mark_discont_ = true;
  }
  if (input && !GST_CLOCK_TIME_IS_VALID(next_timestamp)) next_timestamp = GST_BUFFER_PTS(input.get());

  BufferList filtered = filter(input, flow);
  const guint64 channels = GST_AUDIO_INFO_CHANNELS(&out_info);
  const guint64 bytes_per_sample = GST_AUDIO_INFO_WIDTH(&out_info) / 8;
  const guint64 rate = GST_AUDIO_INFO_RATE(&in_info);
  for (auto &b : filtered) {
    if (!b) continue;
    if (!gst_buffer_is_writable(b.get())) b.reset(gst_buffer_make_writable(b.release()));
    GstBuffer *buffer = b.get();
    if (GST_CLOCK_TIME_IS_VALID(next_timestamp)) GST_BUFFER_PTS(buffer) = next_timestamp;
    // Without a negotiated format there is no duration to give.
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    if (channels && bytes_per_sample && rate)
      duration = gst_buffer_get_size(buffer) / channels / bytes_per_sample * GST_SECOND / rate;
    GST_BUFFER_DURATION(buffer) = duration;
    if (GST_BUFFER_PTS_IS_VALID(buffer) && GST_CLOCK_TIME_IS_VALID(duration))
      next_timestamp = GST_BUFFER_PTS(buffer) + duration;
    else
      next_timestamp = GST_CLOCK_TIME_NONE;
    if (input && mark_discont_) {
      GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
      mark_discont_ = false;
    }
    result.push_back(std::move(b));
  }
  return result;
}

BaseTransform::BufferList
AudioTransform::flush()
{
  GstFlowReturn ignored = GST_FLOW_OK;
  BufferList tail = transform(fn::AutoPtr<GstBuffer>(), ignored);
  next_timestamp = GST_CLOCK_TIME_NONE;
  return tail;
}

bool
AudioTransform::set_caps(const fn::AutoPtr<GstCaps> &incaps, const fn::AutoPtr<GstCaps> &outcaps)
{
  GstAudioInfo in, out;
  if (gst_audio_info_from_caps(&in, incaps.get()) && gst_audio_info_from_caps(&out, outcaps.get()) &&
      (!gst_audio_info_is_equal(&in, &in_info) || !gst_audio_info_is_equal(&out, &out_info))) {
    in_info = in;
    out_info = out;
    audio_info_did_change();
  }
  return BaseTransform::set_caps(incaps, outcaps);
}

bool
AudioTransform::sink_event(const fn::AutoPtr<GstEvent> &event)
{
  // Output after a flush starts again from the first buffer's timestamp.
  if (GST_EVENT_TYPE(event.get()) == GST_EVENT_FLUSH_STOP) {
    next_timestamp = GST_CLOCK_TIME_NONE;
    mark_discont_ = false;
  }
  return BaseTransform::sink_event(event);
}

void
AudioTransform::audio_info_did_change()
{
}
