#include "transcoding-plugins/common/output-queue.h"

#include <algorithm>

#define GST_CAT_DEFAULT category_

namespace {

// PTS are lifted to at least this so that DTS derived below them stay positive.
constexpr GstClockTime kMinimumPts = GST_SECOND;
constexpr GstClockTime kMaxDtsStep = 100 * GST_MSECOND;
constexpr GstClockTime kDefaultDtsStep = 40 * GST_MSECOND;
// A generated DTS closer than this to the last pushed one is halved towards it instead.
constexpr GstClockTime kMinDtsDistance = 10 * GST_MSECOND;

}  // namespace

int
compare_timestamps(GstClockTime a, GstClockTime b)
{
  return a < b ? -1 : (a > b ? 1 : 0);
}

OutputQueue::OutputQueue(GstElement *element, GstPad *sinkpad, GstPad *srcpad,
                         GstDebugCategory *category)
    : element_(element), sinkpad_(sinkpad), srcpad_(srcpad), category_(category)
{
}

bool
OutputQueue::answer_latency(GstQuery *query, guint held_frames) const
{
  if (!gst_pad_peer_query(sinkpad_, query)) return false;
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(sinkpad_));
  gint num = 25, den = 1;  // what negotiation assumes without a framerate
  if (caps && gst_caps_get_size(caps.get()) > 0)
    gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &num, &den);
  if (held_frames > 0 && live && GST_CLOCK_TIME_IS_VALID(min) && num > 0 && den > 0) {
    const GstClockTime held = gst_util_uint64_scale_int_ceil(held_frames * GST_SECOND, den, num);
    min += held;
    if (GST_CLOCK_TIME_IS_VALID(max)) max += held;
    gst_query_set_latency(query, live, min, max);
  }
  return true;
}

void
OutputQueue::prepare_timestamps(GstBuffer *buffer)
{
  GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
  const GstClockTime pts = GST_BUFFER_PTS(buffer);
  if (!GST_CLOCK_TIME_IS_VALID(pts)) return;
  if (!GST_CLOCK_TIME_IS_VALID(timestamp_offset_)) {
    timestamp_offset_ = std::max(kMinimumPts, pts) - pts;
    GST_DEBUG_OBJECT(element_, "timestamp offset %" GST_TIME_FORMAT,
                     GST_TIME_ARGS(timestamp_offset_));
  }
  // Saturate rather than wrap into "none" near the end of the clock range.
  GST_BUFFER_PTS(buffer) =
      pts < GST_CLOCK_TIME_NONE - 1 - timestamp_offset_ ? pts + timestamp_offset_ : pts;
}

GstFlowReturn
OutputQueue::enqueue(Buffers buffers, guint limit)
{
  if (buffers.empty()) return GST_FLOW_OK;
  Entry entry;
  entry.pts = GST_BUFFER_PTS(buffers.front().get());
  entry.dts = GST_BUFFER_DTS(buffers.front().get());
  entry.buffers = std::move(buffers);
  queue_.push_back(std::move(entry));
  if (queue_.size() > limit) return push_one();
  return GST_FLOW_OK;
}

// Gives the queued units the sorted PTS as DTS, then shifts them by whole slots (prepending
// values to the history) until no unit decodes after it is presented, and returns the DTS of
// the oldest unit.
GstClockTime
OutputQueue::generate_dts()
{
  const gsize n = queue_.size();
  sorted_.clear();
  for (const Entry &e : queue_)
    sorted_.push_back(GST_CLOCK_TIME_IS_VALID(e.dts) ? e.dts : e.pts);
  std::sort(sorted_.begin(), sorted_.end(),
            [](GstClockTime a, GstClockTime b) { return compare_timestamps(a, b) < 0; });
  for (gsize i = 0; i < n; ++i) queue_[i].dts = sorted_[i];

  // D = history followed by the entries' DTS, from slots_[head]; only its first n values are
  // compared. The n slots in front take the values prepended below.
  const gsize history = dts_history_.size();
  slots_.resize(n + history + n);
  gsize head = n;
  std::copy(dts_history_.begin(), dts_history_.end(), slots_.begin() + head);
  for (gsize i = 0; i < n; ++i) slots_[head + history + i] = queue_[i].dts;
  const gsize end = head + history + n;
  auto d = [&](gsize i) { return slots_[head + i]; };
  auto some_pts_before_dts = [&] {
    for (gsize i = 0; i < n; ++i)
      if (queue_[i].pts < d(i)) return true;
    return false;
  };
  // n shifts always suffice for reordering inside the queue; the bounds end the loop for PTS
  // that jump backwards, at zero, and keep the history (the delay) within the queue size.
  for (gsize shifts = 0; shifts < n && dts_history_.size() < n && some_pts_before_dts();
       ++shifts) {
    const GstClockTime d0 = d(0);
    if (!GST_CLOCK_TIME_IS_VALID(d0) || d0 == 0) break;
    GstClockTime step = kDefaultDtsStep;
    if (end - head >= 2)
      step = d(1) >= d0 ? std::min(d(1) - d0, kMaxDtsStep) : kMaxDtsStep;
    GstClockTime value = d0 > step ? d0 - step : 0;
    if (GST_CLOCK_TIME_IS_VALID(last_pushed_dts_) && value < last_pushed_dts_ + kMinDtsDistance)
      value = last_pushed_dts_ < d0 ? last_pushed_dts_ + (d0 - last_pushed_dts_) / 2
                                    : d0 + (last_pushed_dts_ - d0) / 2;
    slots_[--head] = value;
    dts_history_.push_front(value);
  }

  Entry &oldest = queue_.front();
  GstClockTime dts = d(0);
  dts_history_.push_back(oldest.dts);
  dts_history_.pop_front();
  if (!GST_CLOCK_TIME_IS_VALID(dts)) return dts;

  if (GST_CLOCK_TIME_IS_VALID(oldest.pts) && dts > oldest.pts) dts = oldest.pts;
  if (GST_CLOCK_TIME_IS_VALID(last_pushed_dts_) && dts <= last_pushed_dts_) {
    // PTS went backwards: a DTS both increasing and not above the PTS does not exist.
    dts = last_pushed_dts_ + 1;
    if (GST_CLOCK_TIME_IS_VALID(oldest.pts) && dts > oldest.pts)
      GST_CAT_WARNING_OBJECT(category_, element_,
                             "PTS %" GST_TIME_FORMAT " is not after the last DTS %" GST_TIME_FORMAT
                             ", keeping DTS increasing",
                             GST_TIME_ARGS(oldest.pts), GST_TIME_ARGS(last_pushed_dts_));
  }
  return dts;
}

GstFlowReturn
OutputQueue::push_one()
{
  if (queue_.empty()) return GST_FLOW_OK;
  const GstClockTime dts = generate_dts();
  Entry entry = std::move(queue_.front());
  queue_.pop_front();
  GstFlowReturn ret = GST_FLOW_OK;
  bool first = true;
  for (auto &buffer : entry.buffers) {
    GstBuffer *b = buffer.get();
    if (!gst_buffer_is_writable(b)) {
      buffer = gstref::adopt(gst_buffer_make_writable(buffer.release()));
      b = buffer.get();
    }
    GST_BUFFER_PTS(b) = entry.pts;
    GST_BUFFER_DTS(b) = first ? dts : GST_CLOCK_TIME_NONE;
    if (first && GST_CLOCK_TIME_IS_VALID(dts)) last_pushed_dts_ = dts;
    first = false;
    ret = push_buffer(std::move(buffer));
  }
  return ret;
}

GstFlowReturn
OutputQueue::drain()
{
  GstFlowReturn ret = GST_FLOW_OK;
  while (!queue_.empty()) ret = push_one();
  return ret;
}

GstFlowReturn
OutputQueue::push_direct(Buffers buffers, bool *dropped)
{
  *dropped = false;
  if (buffers.empty()) return GST_FLOW_OK;
  GstBuffer *first = buffers.front().get();
  gstref::Ref<GstEvent> event =
      gstref::adopt(gst_pad_get_sticky_event(sinkpad_, GST_EVENT_SEGMENT, 0));
  const GstClockTime pts = GST_BUFFER_PTS(first);
  if (event && GST_CLOCK_TIME_IS_VALID(pts)) {
    const GstSegment *segment = nullptr;
    gst_event_parse_segment(event.get(), &segment);
    GstClockTime end = pts;
    if (GST_BUFFER_DURATION_IS_VALID(first) &&
        GST_BUFFER_DURATION(first) < GST_CLOCK_TIME_NONE - pts)
      end += GST_BUFFER_DURATION(first);
    if (end < segment->start) {
      GST_CAT_LOG_OBJECT(category_, element_,
                         "dropping access unit ending at %" GST_TIME_FORMAT
                         " before the segment",
                         GST_TIME_ARGS(end));
      *dropped = true;
      return GST_FLOW_OK;
    }
  }
  GstFlowReturn ret = GST_FLOW_OK;
  for (auto &buffer : buffers) ret = push_buffer(std::move(buffer));
  return ret;
}

GstFlowReturn
OutputQueue::push_buffer(gstref::Ref<GstBuffer> buffer)
{
  send_segment_if_needed();
  return gst_pad_push(srcpad_, buffer.release());
}

void
OutputQueue::send_segment_if_needed()
{
  if (!segment_pending_) return;
  gstref::Ref<GstEvent> event =
      gstref::adopt(gst_pad_get_sticky_event(sinkpad_, GST_EVENT_SEGMENT, 0));
  if (!event) return;
  const GstSegment *received = nullptr;
  gst_event_parse_segment(event.get(), &received);
  GstSegment segment;
  gst_segment_copy_into(received, &segment);
  if (GST_CLOCK_TIME_IS_VALID(timestamp_offset_)) {
    segment.start += timestamp_offset_;
    if (GST_CLOCK_TIME_IS_VALID(segment.stop)) segment.stop += timestamp_offset_;
  }
  GstEvent *out = gst_event_new_segment(&segment);
  gst_event_set_seqnum(out, gst_event_get_seqnum(event.get()));
  segment_pending_ = false;
  GST_CAT_DEBUG_OBJECT(category_, element_, "sending %" GST_SEGMENT_FORMAT, &segment);
  gst_pad_push_event(srcpad_, out);
}

void
OutputQueue::on_segment()
{
  reset();
  segment_pending_ = true;
}

void
OutputQueue::flush()
{
  queue_.clear();
  reset();
}

void
OutputQueue::reset()
{
  segment_pending_ = false;
  last_pushed_dts_ = GST_CLOCK_TIME_NONE;
  timestamp_offset_ = GST_CLOCK_TIME_NONE;
  dts_history_.clear();
}
