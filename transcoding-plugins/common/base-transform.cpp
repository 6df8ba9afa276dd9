// Transform framework: BaseTransformElement forwards GstBaseTransform's functions to the
// element's BaseTransform object.
#include "transcoding-plugins/common/base-transform.h"

#include <algorithm>
#include <exception>
#include <utility>

GST_DEBUG_CATEGORY_STATIC(base_transform_debug);
#define GST_CAT_DEFAULT base_transform_debug

namespace {

GstBaseTransformClass *parent_class = nullptr;

BaseTransform *
transform_of(gpointer instance)
{
  return reinterpret_cast<BaseTransformElement *>(instance)->transform;
}

// No exception may unwind into GStreamer: report it and answer with `fallback`.
template <typename R, typename F>
R
guarded(gpointer instance, R fallback, F &&body)
{
  try {
    return body();
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(instance, "transform object failed: %s", e.what());
  } catch (...) {
    GST_ERROR_OBJECT(instance, "transform object failed");
  }
  return fallback;
}

fn::AutoPtr<GstCaps>
borrow_caps(GstCaps *caps)
{
  return fn::AutoPtr<GstCaps>::borrow(caps);
}

}  // namespace

// GObject side ----------------------------------------------------------------------------

static void base_transform_element_finalize(GObject *object);

static void
base_transform_element_set_property(GObject *object, guint prop_id, const GValue *value,
                                    GParamSpec *pspec)
{
  BaseTransform *t = transform_of(object);
  if (!t) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  guarded(object, 0, [&] {
    t->set_property(prop_id, value, pspec);
    return 0;
  });
}

static void
base_transform_element_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec)
{
  BaseTransform *t = transform_of(object);
  if (!t) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  guarded(object, 0, [&] {
    t->get_property(prop_id, value, pspec);
    return 0;
  });
}

// Without a transform object (the bare base type) every function behaves like the parent's.
static gboolean
base_transform_element_start(GstBaseTransform *trans)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return TRUE;
  return guarded(trans, FALSE, [&] { return gboolean(t->start()); });
}

static gboolean
base_transform_element_stop(GstBaseTransform *trans)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return TRUE;
  return guarded(trans, FALSE, [&] { return gboolean(t->stop()); });
}

static GstCaps *
base_transform_element_transform_caps(GstBaseTransform *trans, GstPadDirection direction,
                                      GstCaps *caps, GstCaps *filter)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->transform_caps(trans, direction, caps, filter);
  return guarded(trans, static_cast<GstCaps *>(nullptr), [&] {
    return t->transform_caps(direction, borrow_caps(caps), borrow_caps(filter)).release();
  });
}

static GstCaps *
base_transform_element_fixate_caps(GstBaseTransform *trans, GstPadDirection direction,
                                   GstCaps *caps, GstCaps *othercaps)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->fixate_caps(trans, direction, caps, othercaps);
  // GStreamer hands over othercaps; the object gets its own reference.
  fn::AutoPtr<GstCaps> other(othercaps);
  return guarded(trans, static_cast<GstCaps *>(nullptr),
                 [&] { return t->fixate_caps(direction, borrow_caps(caps), other).release(); });
}

static gboolean
base_transform_element_accept_caps(GstBaseTransform *trans, GstPadDirection direction,
                                   GstCaps *caps)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->accept_caps(trans, direction, caps);
  return guarded(trans, FALSE,
                 [&] { return gboolean(t->accept_caps(direction, borrow_caps(caps))); });
}

static gboolean
base_transform_element_set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps *outcaps)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return TRUE;
  return guarded(trans, FALSE, [&] {
    return gboolean(t->set_caps(borrow_caps(incaps), borrow_caps(outcaps)));
  });
}

static gboolean
base_transform_element_query(GstBaseTransform *trans, GstPadDirection direction,
                             GstQuery *query)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->query(trans, direction, query);
  return guarded(trans, FALSE, [&] { return gboolean(t->query(direction, query)); });
}

static gboolean
base_transform_element_sink_event(GstBaseTransform *trans, GstEvent *event)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->sink_event(trans, event);
  fn::AutoPtr<GstEvent> owned(event);
  return guarded(trans, FALSE, [&] { return gboolean(t->sink_event(owned)); });
}

static gboolean
base_transform_element_src_event(GstBaseTransform *trans, GstEvent *event)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->src_event(trans, event);
  fn::AutoPtr<GstEvent> owned(event);
  return guarded(trans, FALSE, [&] { return gboolean(t->src_event(owned)); });
}

static GstFlowReturn
base_transform_element_generate_output(GstBaseTransform *trans, GstBuffer **outbuf)
{
  BaseTransform *t = transform_of(trans);
  if (!t) return parent_class->generate_output(trans, outbuf);
  *outbuf = nullptr;
  return guarded(trans, GST_FLOW_ERROR, [&] { return t->generate_output(outbuf); });
}

static void
base_transform_element_class_init(gpointer g_class, gpointer)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(g_class);
  GstElementClass *element_class = GST_ELEMENT_CLASS(g_class);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(g_class);
  parent_class = static_cast<GstBaseTransformClass *>(g_type_class_peek_parent(g_class));

  gobject_class->finalize = base_transform_element_finalize;
  gobject_class->set_property = base_transform_element_set_property;
  gobject_class->get_property = base_transform_element_get_property;

  trans_class->start = GST_DEBUG_FUNCPTR(base_transform_element_start);
  trans_class->stop = GST_DEBUG_FUNCPTR(base_transform_element_stop);
  trans_class->transform_caps = GST_DEBUG_FUNCPTR(base_transform_element_transform_caps);
  trans_class->fixate_caps = GST_DEBUG_FUNCPTR(base_transform_element_fixate_caps);
  trans_class->accept_caps = GST_DEBUG_FUNCPTR(base_transform_element_accept_caps);
  trans_class->set_caps = GST_DEBUG_FUNCPTR(base_transform_element_set_caps);
  trans_class->query = GST_DEBUG_FUNCPTR(base_transform_element_query);
  trans_class->src_event = GST_DEBUG_FUNCPTR(base_transform_element_src_event);
  trans_class->sink_event = GST_DEBUG_FUNCPTR(base_transform_element_sink_event);
  trans_class->generate_output = GST_DEBUG_FUNCPTR(base_transform_element_generate_output);

  gst_element_class_set_metadata(element_class, "BaseTransformElement", "Transform",
                                 "Base Transform Class",
                                 "Transcoding team <transcoding@example.com>");
}

static void
base_transform_element_init(GTypeInstance *, gpointer)
{
}

static void
base_transform_element_finalize(GObject *object)
{
  BaseTransformElement *self = reinterpret_cast<BaseTransformElement *>(object);
  delete self->transform;
  self->transform = nullptr;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

GType
base_transform_element_get_type(void)
{
  static gsize type_id = 0;
  if (g_once_init_enter(&type_id)) {
    GST_DEBUG_CATEGORY_INIT(base_transform_debug, "basetransformelement", 0,
                            "Transform element framework");
    const GType type = g_type_register_static_simple(
        GST_TYPE_BASE_TRANSFORM, g_intern_static_string("BaseTransformElement"),
        sizeof(BaseTransformElementClass), base_transform_element_class_init,
        sizeof(BaseTransformElement), base_transform_element_init, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type_id, type);
  }
  return type_id;
}

void
base_transform_element_class_setup(BaseTransformElementClass *klass,
                                   const fn::AutoPtr<GstCaps> &sink_caps,
                                   const fn::AutoPtr<GstCaps> &src_caps)
{
  static constexpr char kFunction[] =
      "void base_transform_element_class_setup(BaseTransformElementClass *, ap_<GstCaps>, "
      "ap_<GstCaps>)";
  if (!IS_TYPE_BASE_TRANSFORM_ELEMENT_CLASS(klass)) {
    g_return_if_fail_warning(G_LOG_DOMAIN, kFunction, "IS_TYPE_BASE_TRANSFORM_ELEMENT_CLASS(klass)");
    return;
  }
  if (!GST_IS_CAPS(sink_caps.get())) {
    g_return_if_fail_warning(G_LOG_DOMAIN, kFunction, "GST_IS_CAPS(sink_caps.get())");
    return;
  }
  if (!GST_IS_CAPS(src_caps.get())) {
    g_return_if_fail_warning(G_LOG_DOMAIN, kFunction, "GST_IS_CAPS(src_caps.get())");
    return;
  }
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_pad_template(
      element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, src_caps.get()));
  gst_element_class_add_pad_template(
      element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, sink_caps.get()));
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = base_transform_element_set_property;
  gobject_class->get_property = base_transform_element_get_property;
}

// BaseTransform -----------------------------------------------------------------------------

BaseTransform::BaseTransform(BaseTransformElement *owner) : element(owner) {}

BaseTransform::~BaseTransform() = default;

bool
BaseTransform::start()
{
  return true;
}

bool
BaseTransform::stop()
{
  pending_buffers.clear();
  last_flow = GST_FLOW_OK;
  // A restarted stream must not begin with audio held from the previous run.
  discard();
  return true;
}

fn::AutoPtr<GstCaps>
BaseTransform::transform_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                              const fn::AutoPtr<GstCaps> &filter)
{
  return fn::AutoPtr<GstCaps>(
      parent_class->transform_caps(base(), direction, caps.get(), filter.get()));
}

fn::AutoPtr<GstCaps>
BaseTransform::fixate_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                           const fn::AutoPtr<GstCaps> &othercaps)
{
  // The parent takes over the reference it is given.
  fn::AutoPtr<GstCaps> other = othercaps;
  return fn::AutoPtr<GstCaps>(
      parent_class->fixate_caps(base(), direction, caps.get(), other.release()));
}

bool
BaseTransform::accept_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps)
{
  return parent_class->accept_caps(base(), direction, caps.get());
}

bool
BaseTransform::set_caps(const fn::AutoPtr<GstCaps> &incaps, const fn::AutoPtr<GstCaps> &outcaps)
{
  if (parent_class->set_caps) return parent_class->set_caps(base(), incaps.get(), outcaps.get());
  return true;
}

bool
BaseTransform::query(GstPadDirection direction, GstQuery *q)
{
  return parent_class->query(base(), direction, q);
}

bool
BaseTransform::sink_event(const fn::AutoPtr<GstEvent> &event)
{
  switch (GST_EVENT_TYPE(event.get())) {
    case GST_EVENT_EOS: {
      if (!pending_buffers.empty()) {
        GST_WARNING_OBJECT(element, "Have pending buffers during EOS event");
        push_all(pending_buffers);
      }
      gst_buffer_replace(&base()->queued_buf, nullptr);
      BufferList tail = flush();
      push_all(tail);
      break;
    }
    case GST_EVENT_FLUSH_STOP:
      // Outputs of the input before the flush must not come out after it.
      pending_buffers.clear();
      last_flow = GST_FLOW_OK;
      gst_buffer_replace(&base()->queued_buf, nullptr);
      discard();
      break;
    default: break;
  }
  return parent_class->sink_event(base(), gst_event_ref(event.get()));
}

bool
BaseTransform::src_event(const fn::AutoPtr<GstEvent> &event)
{
  return parent_class->src_event(base(), gst_event_ref(event.get()));
}

void
BaseTransform::set_property(guint, const GValue *, GParamSpec *)
{
}

void
BaseTransform::get_property(guint, GValue *, GParamSpec *)
{
}

void
BaseTransform::discard()
{
}

fn::AutoPtr<GstBuffer>
BaseTransform::allocate_buffer(size_t size)
{
  GstAllocator *allocator = nullptr;
  gst_base_transform_get_allocator(base(), &allocator, nullptr);
  fn::AutoPtr<GstBuffer> buffer(gst_buffer_new_allocate(allocator, size, nullptr));
  if (allocator) gst_object_unref(allocator);
  return buffer;
}

GstFlowReturn
BaseTransform::generate_output(GstBuffer **out)
{
  GstBaseTransform *trans = base();
  if (pending_buffers.empty()) {
    if (!trans->queued_buf) return GST_FLOW_OK;
    pending_buffers = transform(fn::AutoPtr<GstBuffer>::borrow(trans->queued_buf), last_flow);
    std::erase(pending_buffers, nullptr);
    if (pending_buffers.empty()) {
      // Nothing came out: a flow value without a buffer is not reported.
      gst_buffer_replace(&trans->queued_buf, nullptr);
      return GST_FLOW_OK;
    }
  }
  *out = pending_buffers.front().release();
  pending_buffers.pop_front();
  // The input stays queued until its last output has been handed out.
  if (pending_buffers.empty()) gst_buffer_replace(&trans->queued_buf, nullptr);
  return last_flow;
}

void
BaseTransform::push_all(BufferList &buffers)
{
  while (!buffers.empty()) {
    GstBuffer *buffer = buffers.front().release();
    buffers.pop_front();
    if (buffer) gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(base()), buffer);
  }
}
