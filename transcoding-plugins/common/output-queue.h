// Output queue of the H.264 and H.265 postprocessors: holds a few access units in decoding
// order, derives their DTS from the sorted PTS, lifts PTS so that no DTS falls below zero and
// holds the segment back until the first buffer goes out.
#pragma once

#include <gst/gst.h>

#include <deque>
#include <vector>

#include "transcoding-plugins/common/gst-ref.h"

// Ordering of clock times for sorting: none is the largest value.
int compare_timestamps(GstClockTime a, GstClockTime b);

class OutputQueue {
 public:
  using Buffers = std::vector<gstref::Ref<GstBuffer>>;

  // The pads and the category belong to the element, which outlives the queue.
  OutputQueue(GstElement *element, GstPad *sinkpad, GstPad *srcpad, GstDebugCategory *category);
  OutputQueue(const OutputQueue &) = delete;
  OutputQueue &operator=(const OutputQueue &) = delete;

  // Queue mode, before any processing of an input buffer (writable): clears its DTS and lifts
  // its PTS by the segment's timestamp offset.
  void prepare_timestamps(GstBuffer *buffer);
  // Queues the buffers of one access unit; pushes the oldest one when more than `limit` wait.
  GstFlowReturn enqueue(Buffers buffers, guint limit);
  // Pushes the oldest access unit with its generated DTS; OK when the queue is empty.
  GstFlowReturn push_one();
  // Pushes every queued access unit (end of stream).
  GstFlowReturn drain();
  // Without the queue: pushes the access unit as it is, or drops it when it ends before the
  // segment starts (`*dropped` then says so).
  GstFlowReturn push_direct(Buffers buffers, bool *dropped);
  // Sends the held-back segment, shifted by the timestamp offset, if one is pending.
  void send_segment_if_needed();
  // LATENCY on the source pad: upstream's answer plus `held_frames` frames at the sink caps'
  // frame rate (25/1 without one); FALSE when upstream does not answer.
  bool answer_latency(GstQuery *query, guint held_frames) const;

  // SEGMENT: restarts the timestamp bookkeeping and holds the segment back.
  void on_segment();
  // GAP: TRUE when the event must be dropped (its segment has not been sent yet).
  bool gap_must_be_dropped() const { return segment_pending_; }
  // FLUSH_STOP and READY_TO_NULL: drops every queued access unit, then resets.
  void flush();
  // Back to the state of a new stream; keeps the queue.
  void reset();

  gsize size() const { return queue_.size(); }
  GstClockTime timestamp_offset() const { return timestamp_offset_; }

 private:
  struct Entry {
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    GstClockTime dts = GST_CLOCK_TIME_NONE;
    Buffers buffers;
  };

  GstClockTime generate_dts();
  GstFlowReturn push_buffer(gstref::Ref<GstBuffer> buffer);

  GstElement *element_;
  GstPad *sinkpad_;
  GstPad *srcpad_;
  GstDebugCategory *category_;

  bool segment_pending_ = false;
  std::deque<Entry> queue_;
  GstClockTime last_pushed_dts_ = GST_CLOCK_TIME_NONE;
  GstClockTime timestamp_offset_ = GST_CLOCK_TIME_NONE;
  // Generated DTS still owed to queued units; its length is the reordering delay in slots.
  std::deque<GstClockTime> dts_history_;
  // Scratch space of generate_dts, kept so that a push allocates nothing.
  std::vector<GstClockTime> sorted_;
  std::vector<GstClockTime> slots_;
};
