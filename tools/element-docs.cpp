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

// The Markdown table of the properties the plugin's own classes add.
std::string
properties_table(GstElementFactory *factory)
{
  gstref::Ref<GstElement> element = gstref::adopt(gst_element_factory_create(factory, nullptr));
  if (!element) return "";
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
  std::string out;
  if (own.empty()) {
    out = "No properties of its own.\n";
  } else {
    out = "| Property | Type | Range | Default | Description |\n|---|---|---|---|---|\n";
    for (GParamSpec *p : own) {
      const char *blurb = g_param_spec_get_blurb(p);
      const char *nick = g_param_spec_get_nick(p);
      std::string text = blurb ? blurb : (nick ? nick : "");
      gchar *row = g_strdup_printf("| `%s` | %s | %s | %s | %s |\n", p->name,
                                   g_type_name(p->value_type), escape(range_text(p)).c_str(),
                                   escape(value_text(g_param_spec_get_default_value(p))).c_str(),
                                   escape(text).c_str());
      out += row;
      g_free(row);
    }
  }
  g_free(specs);
  return out;
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
  g_print("\n%s\n", properties_table(factory).c_str());
}

// Rewrites every block of `text` between "<!-- properties: NAME -->" and "<!-- /properties -->"
// with NAME's current table. Returns false (with a message) for an unknown factory or an
// unterminated block.
bool
fill_property_blocks(std::string &text)
{
  const std::string open = "<!-- properties: ", close = "<!-- /properties -->";
  size_t pos = 0;
  while ((pos = text.find(open, pos)) != std::string::npos) {
    const size_t name_start = pos + open.size();
    const size_t name_end = text.find(" -->", name_start);
    const size_t body_start = text.find('\n', name_start);
    if (name_end == std::string::npos || body_start == std::string::npos) return false;
    const std::string name = text.substr(name_start, name_end - name_start);
    const size_t body_end = text.find(close, body_start);
    if (body_end == std::string::npos) {
      g_printerr("no %s after the block of %s\n", close.c_str(), name.c_str());
      return false;
    }
    gstref::Ref<GstElementFactory> factory = gstref::adopt(gst_element_factory_find(name.c_str()));
    if (!factory) {
      g_printerr("unknown factory %s\n", name.c_str());
      return false;
    }
    const std::string table = properties_table(factory.get());
    text.replace(body_start + 1, body_end - body_start - 1, table);
    pos = body_start + 1 + table.size() + close.size();
  }
  return true;
}

int
readme(const char *path, bool check)
{
  gchar *contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path, &contents, &length, nullptr)) {
    g_printerr("cannot read %s\n", path);
    return 2;
  }
  const std::string before(contents, length);
  g_free(contents);
  std::string after = before;
  if (!fill_property_blocks(after)) return 2;
  if (after == before) return 0;
  if (check) {
    g_printerr("%s: property tables are out of date; run element-docs --readme %s\n", path, path);
    return 1;
  }
  return g_file_set_contents(path, after.data(), static_cast<gssize>(after.size()), nullptr) ? 0
                                                                                           : 2;
}

}  // namespace

//   element-docs                        the whole reference (docs/elements.md)
//   element-docs --readme FILE          refills FILE's property blocks
//   element-docs --check-readme FILE    exits 1 if they are out of date
int
main(int argc, char **argv)
{
  gst_init(&argc, &argv);
  gst_plugin_base_plugins_register();
  if (argc == 3 && (g_str_equal(argv[1], "--readme") || g_str_equal(argv[1], "--check-readme")))
    return readme(argv[2], g_str_equal(argv[1], "--check-readme"));
  g_print("# Element reference\n\nGenerated by `build/tools/element-docs` from the registered "
          "element classes; do not edit.\n\n");
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
