#include "transcoding-plugins/common/element.h"

void
element_ensure_debug_category(GstDebugCategory **category, const char *name,
                              const char *description)
{
  if (*category == nullptr) *category = _gst_debug_category_new(name, 0, description);
}

gboolean
element_register(GstPlugin *plugin, const char *factory_name, guint rank, GType type,
                 GstDebugCategory **category, const char *category_name,
                 const char *category_description)
{
  element_ensure_debug_category(category, category_name, category_description);
  return gst_element_register(plugin, factory_name, rank, type);
}

gboolean
element_register_all(GstPlugin *plugin, std::span<const ElementRegisterFunc> functions)
{
  gboolean result = TRUE;
  for (ElementRegisterFunc func : functions) result &= func(plugin);
  return result & 1;
}

PadPair
element_create_pad_pair(GstElement *element, const PadPairSpec &spec)
{
  PadPair pads;
  pads.sink = gst_pad_new_from_static_template(spec.sink_template, "sink");
  if (spec.chain.func) {
    _gst_debug_register_funcptr(reinterpret_cast<GstDebugFuncPtr>(spec.chain.func),
                               spec.chain.name);
    gst_pad_set_chain_function_full(pads.sink, spec.chain.func, nullptr, nullptr);
  }
  if (spec.sink_event.func) {
    _gst_debug_register_funcptr(reinterpret_cast<GstDebugFuncPtr>(spec.sink_event.func),
                               spec.sink_event.name);
    gst_pad_set_event_function_full(pads.sink, spec.sink_event.func, nullptr, nullptr);
  }
  pads.src = gst_pad_new_from_static_template(spec.src_template, "src");
  if (spec.sink_flags) GST_OBJECT_FLAG_SET(pads.sink, spec.sink_flags);
  if (spec.src_flags) GST_OBJECT_FLAG_SET(pads.src, spec.src_flags);
  if (spec.pass_through) {
    gst_pad_set_iterate_internal_links_function(pads.sink,
                                                element_pass_through_iterate_internal_links);
    gst_pad_set_iterate_internal_links_function(pads.src,
                                                element_pass_through_iterate_internal_links);
  }
  gst_element_add_pad(element, pads.sink);
  gst_element_add_pad(element, pads.src);
  return pads;
}

GstIterator *
element_pass_through_iterate_internal_links(GstPad *pad, GstObject *parent)
{
  GstElement *element = GST_ELEMENT_CAST(parent);
  GstIterator *it = nullptr;
  GST_OBJECT_LOCK(element);
  GList *own = GST_PAD_IS_SINK(pad) ? element->sinkpads : element->srcpads;
  GList *other = GST_PAD_IS_SINK(pad) ? element->srcpads : element->sinkpads;
  if (own && own->data == pad && other) {
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GST_TYPE_PAD);
    g_value_set_object(&value, other->data);
    it = gst_iterator_new_single(GST_TYPE_PAD, &value);
    g_value_unset(&value);
  }
  GST_OBJECT_UNLOCK(element);
  return it;
}

namespace {

constexpr guint kSilentPropertyId = 1;

GQuark
silent_offset_quark()
{
  static GQuark quark = g_quark_from_static_string("base-plugins-silent-offset");
  return quark;
}

gboolean *
silent_field(GObject *object, GParamSpec *pspec)
{
  const glong offset =
      GPOINTER_TO_INT(g_type_get_qdata(pspec->owner_type, silent_offset_quark())) - 1;
  return static_cast<gboolean *>(G_STRUCT_MEMBER_P(object, offset));
}

void
silent_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  if (prop_id != kSilentPropertyId) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  GST_OBJECT_LOCK(object);
  *silent_field(object, pspec) = g_value_get_boolean(value);
  GST_OBJECT_UNLOCK(object);
}

void
silent_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  if (prop_id != kSilentPropertyId) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  GST_OBJECT_LOCK(object);
  g_value_set_boolean(value, *silent_field(object, pspec));
  GST_OBJECT_UNLOCK(object);
}

}  // namespace

void
element_class_install_silent_property(GObjectClass *klass, glong silent_offset)
{
  // Stored +1 so that a missing entry (0) is distinguishable.
  g_type_set_qdata(G_OBJECT_CLASS_TYPE(klass), silent_offset_quark(),
                   GINT_TO_POINTER(silent_offset + 1));
  klass->set_property = silent_set_property;
  klass->get_property = silent_get_property;
  g_object_class_install_property(
      klass, kSilentPropertyId,
      g_param_spec_boolean("silent", "Silent", "Whether the element shouldn't log anything", FALSE,
                           kElementPropertyFlags));
}
