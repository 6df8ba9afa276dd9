#include "foundation/logging.h"

namespace fn::logging {
namespace {

GstDebugLevel
gstLevel(int priority) {
  if (priority <= kError) return GST_LEVEL_ERROR;
  switch (priority) {
    case kWarning:
      return GST_LEVEL_WARNING;
    case kNotice:
    case kInformation:
      return GST_LEVEL_INFO;
    case kDebug:
      return GST_LEVEL_DEBUG;
    default:
      return GST_LEVEL_TRACE;
  }
}

}  // namespace

Category::Category(std::string name)
    : name_(std::move(name)),
      gst_category_(_gst_debug_category_new(name_.c_str(), 0, "foundation logging category")) {}

bool
Category::isEnabled(int priority) const {
  // The same test as GStreamer's own logging macros.
  const GstDebugLevel level = gstLevel(priority);
  return level <= _gst_debug_min && level <= gst_debug_category_get_threshold(gst_category_);
}

void
Category::log(const Message &message) {
  if (!isEnabled(message.priority())) return;
  std::string text;
  if (message.object()) text += fmt::format("<{}> ", message.object());
  if (!message.tag().empty()) text += fmt::format("[{}] ", message.tag());
  try {
    text += message.text();
  } catch (const fmt::format_error &e) {
    // A format the arguments do not fit must not take the caller down.
    text += fmt::format("(bad log format: {})", e.what());
  }
  const SourceLocation &where = message.location();
  gst_debug_log_literal(gst_category_, gstLevel(message.priority()), where.file, where.function,
                        where.line, nullptr, text.c_str());
}

CategoryManager &
CategoryManager::instance() {
  static CategoryManager *manager = new CategoryManager();
  return *manager;
}

Category &
CategoryManager::getCategory(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = categories_.find(name);
  if (it == categories_.end()) {
    std::unique_ptr<Category> category(new Category(std::string(name)));
    it = categories_.emplace(std::string(name), std::move(category)).first;
  }
  return *it->second;
}

}  // namespace fn::logging
