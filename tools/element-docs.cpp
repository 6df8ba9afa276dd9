// Prints Markdown reference documentation for every factory of the base_plugins module, taken
// from the registered element classes so that it never drifts from the code.
#include <gst/base/base.h>
#include <gst/gst.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transcoding-plugins/base-plugins/plugin.h"
#include "transcoding-plugins/common/gst-ref.h"

namespace {

std::string
value_text(const GValue *value)
{
  if (!value || !G_IS_VALUE(value)) return "";
  gchar *s = gst_value_serialize(value);
  if (!s && G_VALUE_HOLDS_OBJECT(value)) return "none";
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

std::string
range_text(GParamSpec *p)
{
  auto fmt = [](auto lo, auto hi) { return std::to_string(lo) + " to " + std::to_string(hi); };
  if (G_IS_PARAM_SPEC_INT(p)) return fmt(G_PARAM_SPEC_INT(p)->minimum, G_PARAM_SPEC_INT(p)->maximum);
  if (G_IS_PARAM_SPEC_UINT(p)) return fmt(G_PARAM_SPEC_UINT(p)->minimum, G_PARAM_SPEC_UINT(p)->maximum);
  if (G_IS_PARAM_SPEC_INT64(p))
    return fmt(G_PARAM_SPEC_INT64(p)->minimum, G_PARAM_SPEC_INT64(p)->maximum);
  if (G_IS_PARAM_SPEC_UINT64(p))
    return fmt(G_PARAM_SPEC_UINT64(p)->minimum, G_PARAM_SPEC_UINT64(p)->maximum);
  if (G_IS_PARAM_SPEC_DOUBLE(p))
    return fmt(G_PARAM_SPEC_DOUBLE(p)->minimum, G_PARAM_SPEC_DOUBLE(p)->maximum);
  if (G_IS_PARAM_SPEC_FLOAT(p))
    return fmt(G_PARAM_SPEC_FLOAT(p)->minimum, G_PARAM_SPEC_FLOAT(p)->maximum);
  if (GST_IS_PARAM_SPEC_FRACTION(p)) {
    auto *f = GST_PARAM_SPEC_FRACTION(p);
    return std::to_string(f->min_num) + "/" + std::to_string(f->min_den) + " to " +
           std::to_string(f->max_num) + "/" + std::to_string(f->max_den);
  }
  return "";
}

std::string
escape(std::string s)
{
  for (size_t pos = 0; (pos = s.find('|', pos)) != std::string::npos; pos += 2) s.replace(pos, 1, "\\|");
  return s;
}

void
document(GstElementFactory *factory)
{
  const char *name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
  g_print("### `%s`\n\n", name);
  g_print("%s (%s). Rank %u.\n\n",
          gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_DESCRIPTION),
          gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS),
          gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(factory)));
  for (const GList *l = gst_element_factory_get_static_pad_templates(factory); l; l = l->next) {
    auto *t = static_cast<GstStaticPadTemplate *>(l->data);
    gstref::Ref<GstCaps> caps = gstref::adopt(gst_static_caps_get(&t->static_caps));
    gchar *caps_text = gst_caps_to_string(caps.get());
    g_print("- pad `%s` (%s): `%s`\n", t->name_template,
            t->direction == GST_PAD_SRC ? "src" : "sink", caps_text);
    g_free(caps_text);
  }
  gstref::Ref<GstElement> element = gstref::adopt(gst_element_factory_create(factory, nullptr));
  if (!element) return;
  gst_object_ref_sink(element.get());
  guint n = 0;
  GParamSpec **specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(element.get()), &n);
  // Only what the plugin adds: GStreamer's own base classes are documented upstream.
  const GType base_types[] = {GST_TYPE_OBJECT,         GST_TYPE_ELEMENT,      GST_TYPE_BIN,
                              GST_TYPE_BASE_TRANSFORM, GST_TYPE_BASE_SRC,     GST_TYPE_BASE_PARSE};
  std::vector<GParamSpec *> own;
  for (guint i = 0; i < n; ++i) {
    if (std::find(std::begin(base_types), std::end(base_types), specs[i]->owner_type) ==
        std::end(base_types))
      own.push_back(specs[i]);
  }
  std::sort(own.begin(), own.end(),
            [](GParamSpec *a, GParamSpec *b) { return g_strcmp0(a->name, b->name) < 0; });
  if (!own.empty()) {
    g_print("\n| Property | Type | Range | Default | Description |\n|---|---|---|---|---|\n");
    for (GParamSpec *p : own) {
      const char *blurb = g_param_spec_get_blurb(p);
      const char *nick = g_param_spec_get_nick(p);
      std::string text = blurb ? blurb : (nick ? nick : "");
      g_print("| `%s` | %s | %s | %s | %s |\n", p->name, g_type_name(p->value_type),
              escape(range_text(p)).c_str(),
              escape(value_text(g_param_spec_get_default_value(p))).c_str(),
              escape(text).c_str());
    }
  }
  g_free(specs);
  g_print("\n");
}

}  // namespace

int
main(int argc, char **argv)
{
  gst_init(&argc, &argv);
  gst_plugin_base_plugins_register();
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "base_plugins");
  std::vector<GstElementFactory *> factories;
  for (GList *l = features; l; l = l->next)
    if (GST_IS_ELEMENT_FACTORY(l->data)) factories.push_back(GST_ELEMENT_FACTORY(l->data));
  std::sort(factories.begin(), factories.end(), [](auto *a, auto *b) {
    return g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(a)),
                     gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(b))) < 0;
  });
  for (GstElementFactory *f : factories) document(f);
  gst_plugin_feature_list_free(features);
  return 0;
}
