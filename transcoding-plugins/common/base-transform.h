// Transform framework: elements written as plain C++ transform objects behind a
// GstBaseTransform subclass.
//
// BaseTransformElement is the GObject side: its instance owns one BaseTransform and every
// GstBaseTransform function it overrides forwards to that object. BaseTransform turns one input
// buffer into any number of outputs, handed to GStreamer one at a time from a queue.
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

#include <deque>

#include "foundation/auto-ptr.h"

class BaseTransform;

struct BaseTransformElement {
  GstBaseTransform parent;
  BaseTransform *transform;  // owned; created by the element's instance init
};

struct BaseTransformElementClass {
  GstBaseTransformClass parent_class;
};

G_BEGIN_DECLS

GType base_transform_element_get_type(void);

G_END_DECLS

#define TYPE_BASE_TRANSFORM_ELEMENT (base_transform_element_get_type())
#define BASE_TRANSFORM_ELEMENT(obj) \
  (G_TYPE_CHECK_INSTANCE_CAST((obj), TYPE_BASE_TRANSFORM_ELEMENT, BaseTransformElement))
#define IS_TYPE_BASE_TRANSFORM_ELEMENT_CLASS(klass) \
  (G_TYPE_CHECK_CLASS_TYPE((klass), TYPE_BASE_TRANSFORM_ELEMENT))

// Called by each element's class init: adds the "src" and "sink" ALWAYS templates and routes
// the element's properties to its transform object.
void base_transform_element_class_setup(BaseTransformElementClass *klass,
                                        const fn::AutoPtr<GstCaps> &sink_caps,
                                        const fn::AutoPtr<GstCaps> &src_caps);

class BaseTransform {
 public:
  using BufferList = std::deque<fn::AutoPtr<GstBuffer>>;

  explicit BaseTransform(BaseTransformElement *element);
  virtual ~BaseTransform();
  BaseTransform(const BaseTransform &) = delete;
  BaseTransform &operator=(const BaseTransform &) = delete;

  virtual bool start();
  // Clears the queue and the flow value, and discards the object's buffered state.
  virtual bool stop();
  // The outputs for one input buffer, in order; `flow` travels with them.
  virtual BufferList transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) = 0;
  // Whatever the object still holds, at end of stream.
  virtual BufferList flush() = 0;
  virtual fn::AutoPtr<GstCaps> transform_caps(GstPadDirection direction,
                                              const fn::AutoPtr<GstCaps> &caps,
                                              const fn::AutoPtr<GstCaps> &filter);
  virtual fn::AutoPtr<GstCaps> fixate_caps(GstPadDirection direction,
                                           const fn::AutoPtr<GstCaps> &caps,
                                           const fn::AutoPtr<GstCaps> &othercaps);
  virtual bool accept_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps);
  virtual bool set_caps(const fn::AutoPtr<GstCaps> &incaps, const fn::AutoPtr<GstCaps> &outcaps);
  virtual bool query(GstPadDirection direction, GstQuery *query);
  // End of stream pushes what is queued and what flush() returns before the EOS; a flush
  // drops the queue and calls discard(). Overrides chain up.
  virtual bool sink_event(const fn::AutoPtr<GstEvent> &event);
  virtual bool src_event(const fn::AutoPtr<GstEvent> &event);
  virtual void set_property(guint prop_id, const GValue *value, GParamSpec *pspec);
  virtual void get_property(guint prop_id, GValue *value, GParamSpec *pspec);
  // A flush (seek) ended or streaming stopped: forget buffered data without producing output,
  // so that nothing from before comes out after it.
  virtual void discard();

  // A writable buffer from the negotiated allocator.
  fn::AutoPtr<GstBuffer> allocate_buffer(size_t size);

  // GstBaseTransform's generate_output: hands out the queue one buffer per call.
  GstFlowReturn generate_output(GstBuffer **out);

  BufferList pending_buffers;
  GstFlowReturn last_flow = GST_FLOW_OK;
  BaseTransformElement *element;  // not owned

 protected:
  GstBaseTransform *base() const { return GST_BASE_TRANSFORM(element); }
  // Pushes each buffer on the src pad in order, ignoring the results.
  void push_all(BufferList &buffers);
};
