// The user documentation is generated from the element classes; these fail when it drifts.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/gst-helpers.h"

namespace {

std::string
read_file(const std::string &path)
{
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ElementDocs, ReadmePropertyTablesMatchTheElements)
{
  const std::string readme = std::string(SOURCE_ROOT) + "/README.md";
  // Every factory has its block, so a new element cannot go undocumented.
  const std::string text = read_file(readme);
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "base_plugins");
  int factories = 0;
  for (GList *l = features; l; l = l->next) {
    if (!GST_IS_ELEMENT_FACTORY(l->data)) continue;
    ++factories;
    const std::string name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(l->data));
    EXPECT_NE(text.find("<!-- properties: " + name + " -->"), std::string::npos) << name;
  }
  gst_plugin_feature_list_free(features);
  EXPECT_EQ(factories, 22);

  const auto r = testsupport::run_command(std::string(ELEMENT_DOCS) + " --check-readme " + readme +
                                          " 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
}

TEST(ElementDocs, ReferenceIsUpToDate)
{
  const auto r = testsupport::run_command(ELEMENT_DOCS);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.output, read_file(std::string(SOURCE_ROOT) + "/docs/elements.md"))
      << "regenerate with: build/tools/element-docs > docs/elements.md";
}

TEST(ElementDocs, NamedDebugCategoriesExist)
{
  // Categories are created when the classes initialise.
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "base_plugins");
  for (GList *l = features; l; l = l->next) {
    if (!GST_IS_ELEMENT_FACTORY(l->data)) continue;
    GstElement *e = gst_element_factory_create(GST_ELEMENT_FACTORY(l->data), nullptr);
    if (e) gst_object_unref(gst_object_ref_sink(e));
  }
  gst_plugin_feature_list_free(features);
  // The file cache's category comes with the first cached file.
  const auto read = testsupport::run_pipeline("cachedfilesrc location=" + std::string(SOURCE_ROOT) +
                                              "/README.md ! fakesink");
  ASSERT_TRUE(read.ok) << read.error;
  std::set<std::string> existing;
  GSList *cats = gst_debug_get_all_categories();
  for (GSList *l = cats; l; l = l->next)
    existing.insert(gst_debug_category_get_name(static_cast<GstDebugCategory *>(l->data)));
  g_slist_free(cats);

  const std::string text = read_file(std::string(SOURCE_ROOT) + "/README.md");
  const std::regex line(R"(Debug categor(?:y|ies): (.*))");
  const std::regex name("`([^`]+)`");
  int named = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    const std::string names = (*it)[1];
    for (std::sregex_iterator n(names.begin(), names.end(), name); n != end; ++n) {
      ++named;
      EXPECT_TRUE(existing.count((*n)[1])) << "README names debug category " << (*n)[1];
    }
  }
  EXPECT_GE(named, 22);
}

}  // namespace
