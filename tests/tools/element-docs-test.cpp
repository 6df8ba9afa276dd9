// The user documentation is generated from the element classes; this fails when it drifts.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

std::string
read_text(const char *name) {
  const auto bytes = testsupport::media::read_file(std::string(SOURCE_ROOT) + "/" + name);
  return std::string(bytes.begin(), bytes.end());
}

// Every factory has its property block in the README (so a new element cannot go
// undocumented), the blocks and the element reference are what the generator writes today, and
// the debug categories the README names exist once the elements and the file cache are used.
TEST(ElementDocs, ReadmeAndReferenceMatchTheElements) {
  const std::string readme = read_text("README.md");
  ASSERT_TRUE(testsupport::run_pipeline("cachedfilesrc location=" + std::string(SOURCE_ROOT) +
                                        "/README.md ! fakesink")
                  .ok);
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "base_plugins");
  int factories = 0;
  for (GList *l = features; l; l = l->next, ++factories) {
    const std::string name = GST_OBJECT_NAME(l->data);
    EXPECT_NE(readme.find("<!-- properties: " + name + " -->"), std::string::npos) << name;
    // Categories are created when the classes initialise.
    GstElement *e = gst_element_factory_create(GST_ELEMENT_FACTORY(l->data), nullptr);
    gst_object_unref(gst_object_ref_sink(e));
  }
  gst_plugin_feature_list_free(features);
  EXPECT_EQ(factories, 22);
  std::set<std::string> existing;
  GSList *categories = gst_debug_get_all_categories();
  for (GSList *l = categories; l; l = l->next)
    existing.insert(gst_debug_category_get_name(static_cast<GstDebugCategory *>(l->data)));
  g_slist_free(categories);
  const std::regex line(R"(Debug categor(?:y|ies): (.*))"), name("`([^`]+)`");
  int named = 0;
  for (std::sregex_iterator it(readme.begin(), readme.end(), line), end; it != end; ++it) {
    const std::string names = (*it)[1];
    for (std::sregex_iterator n(names.begin(), names.end(), name); n != end; ++n, ++named)
      EXPECT_TRUE(existing.count((*n)[1])) << "README names debug category " << (*n)[1];
  }
  EXPECT_GE(named, 22);

  auto r = testsupport::run_command(std::string(ELEMENT_DOCS) + " --check-readme " + SOURCE_ROOT +
                                    "/README.md 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  r = testsupport::run_command(ELEMENT_DOCS);
  EXPECT_TRUE(r.status == 0 && r.output == read_text("docs/elements.md"))
      << "regenerate with: build/tools/element-docs > docs/elements.md";
}

}  // namespace
