#include "foundation/logging.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/exception.h"

namespace {

struct Line {
  std::string category;
  GstDebugLevel level;
  std::string text;
  int line;
};

std::vector<Line> *captured = nullptr;

void
capture(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint line,
        GObject *, GstDebugMessage *message, gpointer) {
  const std::string name = gst_debug_category_get_name(category);
  if (captured && (name.rfind("fntest.", 0) == 0 || name == "fn.exception"))
    captured->push_back({name, level, gst_debug_message_get(message), line});
}

// Counts how often it is formatted.
struct Expensive {
  int *formatted;
};

}  // namespace

template <>
struct fmt::formatter<Expensive> : fmt::formatter<int> {
  template <typename Context>
  auto format(const Expensive &e, Context &ctx) const {
    return fmt::formatter<int>::format(++*e.formatted, ctx);
  }
};

namespace {

class Logging : public testing::Test {
 protected:
  void SetUp() override {
    captured = &lines;
    gst_debug_add_log_function(capture, nullptr, nullptr);
  }
  void TearDown() override {
    gst_debug_remove_log_function(capture);
    captured = nullptr;
    gst_debug_unset_threshold_for_name("fntest.*");
    gst_debug_unset_threshold_for_name("fn.exception");
  }
  std::vector<Line> lines;
};

TEST_F(Logging, ThresholdsOfTheGStreamerCategoryFilterPriorities) {
  // As a user would write GST_DEBUG=fntest.cacheFile:6, before the category exists.
  gst_debug_set_threshold_for_name("fntest.cacheFile", GST_LEVEL_LOG);
  fn::logging::Category &category =
      fn::logging::CategoryManager::instance().getCategory("fntest.cacheFile");
  EXPECT_EQ(&category, &fn::logging::CategoryManager::instance().getCategory("fntest.cacheFile"));

  int object = 0;
  const int line = __LINE__ + 1;
  FN_LOG(category, 7, &object, "", "{}: read {} bytes, data hash: {}", 5, 32768, "ab");
  FN_LOG(category, 2, nullptr, "tag", "open failed for {} with errno: {}", "/x", 2);
  FN_LOG(category, 8, nullptr, "", "trace line");

  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].category, "fntest.cacheFile");
  EXPECT_EQ(lines[0].level, GST_LEVEL_DEBUG);
  EXPECT_EQ(lines[0].text, fmt::format("<{}> 5: read 32768 bytes, data hash: ab",
                                       static_cast<const void *>(&object)));
  EXPECT_EQ(lines[0].line, line);
  EXPECT_EQ(lines[1].level, GST_LEVEL_ERROR);
  EXPECT_EQ(lines[1].text, "[tag] open failed for /x with errno: 2");
  EXPECT_TRUE(category.isEnabled(7));
  EXPECT_FALSE(category.isEnabled(8));

  // Thresholds changed at run time take effect at once.
  gst_debug_set_threshold_for_name("fntest.cacheFile", GST_LEVEL_WARNING);
  EXPECT_FALSE(category.isEnabled(7));
  EXPECT_TRUE(category.isEnabled(4));
  EXPECT_TRUE(category.isEnabled(2));
}

TEST_F(Logging, FormatsOnlyLinesThatAreEmitted) {
  gst_debug_set_threshold_for_name("fntest.lazy", GST_LEVEL_ERROR);
  fn::logging::Category &category =
      fn::logging::CategoryManager::instance().getCategory("fntest.lazy");
  int formatted = 0;
  FN_LOG(category, 7, nullptr, "", "hash {}", Expensive{&formatted});
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(lines.empty());
  FN_LOG(category, 2, nullptr, "", "hash {}", Expensive{&formatted});
  EXPECT_EQ(formatted, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "hash 1");
}

TEST_F(Logging, UnhandledExceptionReportsAtErrorLevel) {
  gst_debug_set_threshold_for_name("fn.exception", GST_LEVEL_ERROR);
  try {
    throw fn::RangeException("Value can not be converted to requested type without loss");
  } catch (...) {
    fn::unhandledException();
  }
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    fn::unhandledException();
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, GST_LEVEL_ERROR);
  EXPECT_EQ(lines[0].text,
            "Unhandled exception: RangeException: Value can not be converted to requested type "
            "without loss");
  EXPECT_EQ(lines[1].text, "Unhandled exception: std::runtime_error: plain");
}

}  // namespace
