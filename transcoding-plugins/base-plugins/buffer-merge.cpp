// buffermerge: concatenates a fixed number of consecutive buffers into one.
//
// Once `amount` buffers are queued they go out as a single buffer holding all their bytes in
// arrival order, stamped with the PTS of the first.
//
//   gst-launch-1.0 fakesrc num-buffers=9 sizetype=fixed sizemax=100 ! buffermerge amount=3 !
//       fakesink dump=true
//
// Limits: the merged buffer carries only the first PTS; DTS, duration, flags and metadata of
// the members are dropped. A partial group goes out at EOS and before new caps, and is dropped
// on flush or when streaming stops.
#include "transcoding-plugins/base-plugins/buffer-merge.h"

#include <vector>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(buffer_merge_debug);
#define GST_CAT_DEFAULT buffer_merge_debug

namespace {

constexpr gint kDefaultAmount = 0;

enum {
  PROP_0,
  PROP_AMOUNT = 1,
};

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct BufferMergeState {
  // Buffers waiting to be merged, in arrival order.
  std::vector<gstref::Ref<GstBuffer>> queued;
};

struct _BufferMerge {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gint amount;  // object lock
  BufferMergeState *state;
};

G_DEFINE_TYPE(BufferMerge, buffer_merge, GST_TYPE_ELEMENT)

gboolean
buffer_merge_register(GstPlugin *plugin)
{
  return element_register(plugin, "buffermerge", GST_RANK_NONE, BUFFER_TYPE_MERGE,
                          &buffer_merge_debug, "buffermerge", "Merges subsequent buffers");
}

static void buffer_merge_finalize(GObject *object);
static void buffer_merge_set_property(GObject *object, guint prop_id, const GValue *value,
                                      GParamSpec *pspec);
static void buffer_merge_get_property(GObject *object, guint prop_id, GValue *value,
                                      GParamSpec *pspec);
static GstStateChangeReturn buffer_merge_change_state(GstElement *element,
                                                      GstStateChange transition);
static gboolean buffer_merge_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn buffer_merge_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
buffer_merge_class_init(BufferMergeClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = buffer_merge_finalize;
  gobject_class->set_property = buffer_merge_set_property;
  gobject_class->get_property = buffer_merge_get_property;

  g_object_class_install_property(
      gobject_class, PROP_AMOUNT,
      g_param_spec_int("amount", "Amount", "Number of subsequent buffers to merge", 0, G_MAXINT,
                       kDefaultAmount, kElementPropertyFlags));

  gst_element_class_set_metadata(element_class, "BufferMerge", "Parser",
                                 "Merges subsequent buffers",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(buffer_merge_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
buffer_merge_init(BufferMerge *self)
{
  self->state = new BufferMergeState();
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(buffer_merge_chain);
  spec.sink_event = ELEMENT_FUNC(buffer_merge_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.src_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
buffer_merge_finalize(GObject *object)
{
  BufferMerge *self = BUFFER_MERGE(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(buffer_merge_parent_class)->finalize(object);
}

static void
buffer_merge_set_property(GObject *object, guint prop_id, const GValue *value,
                          GParamSpec *pspec)
{
  BufferMerge *self = BUFFER_MERGE(object);
  switch (prop_id) {
    case PROP_AMOUNT:
      GST_OBJECT_LOCK(self);
      self->amount = g_value_get_int(value);
      GST_OBJECT_UNLOCK(self);
      break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
}

static void
buffer_merge_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  BufferMerge *self = BUFFER_MERGE(object);
  switch (prop_id) {
    case PROP_AMOUNT:
      GST_OBJECT_LOCK(self);
      g_value_set_int(value, self->amount);
      GST_OBJECT_UNLOCK(self);
      break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
}

static GstStateChangeReturn
buffer_merge_change_state(GstElement *element, GstStateChange transition)
{
  BufferMerge *self = BUFFER_MERGE(element);
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(buffer_merge_parent_class)->change_state(element, transition);
  switch (transition) {
    // A restarted stream must not merge the previous run's leftovers into its first buffer.
    case GST_STATE_CHANGE_PAUSED_TO_READY:
    case GST_STATE_CHANGE_READY_TO_NULL: self->state->queued.clear(); break;
    default: break;
  }
  return ret;
}

static GstFlowReturn
merge_and_push(BufferMerge *self)
{
  std::vector<gstref::Ref<GstBuffer>> members = std::move(self->state->queued);
  self->state->queued.clear();

  gsize total = 0;
  for (const auto &b : members) total += gst_buffer_get_size(b.get());
  gstref::Ref<GstBuffer> merged = gstref::adopt(gst_buffer_new_allocate(nullptr, total, nullptr));
  if (!merged) {
    GST_WARNING_OBJECT(self, "cannot allocate %" G_GSIZE_FORMAT " bytes", total);
    return GST_FLOW_ERROR;
  }
  {
    gstref::BufferMap out(merged.get(), GST_MAP_WRITE);
    if (!out.ok()) return GST_FLOW_ERROR;
    gsize offset = 0;
    for (const auto &b : members) {
      // Empty members add nothing (and an all-empty group maps to no data at all).
      if (gst_buffer_get_size(b.get()) == 0) continue;
      offset += gst_buffer_extract(b.get(), 0, out.data() + offset, out.size() - offset);
    }
  }
  GST_BUFFER_PTS(merged.get()) = GST_BUFFER_PTS(members.front().get());
  GST_LOG_OBJECT(self, "merged %zu buffers into %" G_GSIZE_FORMAT " bytes", members.size(),
                 total);
  members.clear();
  return gst_pad_push(self->srcpad, merged.release());
}

static GstFlowReturn
buffer_merge_chain(GstPad *, GstObject *parent, GstBuffer *buffer)
{
  BufferMerge *self = BUFFER_MERGE(parent);
  GST_OBJECT_LOCK(self);
  const gint amount = self->amount;
  GST_OBJECT_UNLOCK(self);

  auto &queued = self->state->queued;
  queued.push_back(gstref::adopt(buffer));
  if (queued.size() < static_cast<size_t>(amount)) return GST_FLOW_OK;
  return merge_and_push(self);
}

static gboolean
buffer_merge_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  BufferMerge *self = BUFFER_MERGE(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_EOS:
    case GST_EVENT_CAPS:
      // A partial group goes out under the caps its bytes were made for; its flow result cannot
      // change what happens to the event.
      if (!self->state->queued.empty()) merge_and_push(self);
      break;
    case GST_EVENT_FLUSH_STOP: self->state->queued.clear(); break;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}
