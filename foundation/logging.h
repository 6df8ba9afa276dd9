// fn::logging: named categories whose messages go to GStreamer's debug log, one GStreamer debug
// category per name, so GST_DEBUG=<name>:<level> filters them as usual.
//
// Priorities follow the syslog numbering; they map onto GStreamer levels as
//   1-3 fatal/critical/error -> ERROR, 4 warning -> WARNING, 5-6 notice/information -> INFO,
//   7 debug -> DEBUG, 8 trace -> TRACE.
// A message is formatted only when its level passes the category's threshold.
#pragma once

#include <fmt/format.h>
#include <gst/gst.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace fn::logging {

enum Priority : int {
  kFatal = 1,
  kCritical = 2,
  kError = 3,
  kWarning = 4,
  kNotice = 5,
  kInformation = 6,
  kDebug = 7,
  kTrace = 8,
};

struct SourceLocation {
  const char *file = "";
  int line = 0;
  const char *function = "";
};

class Category;

// One log line before formatting. The format arguments are referenced, not copied: a Message
// lives only within the statement that logs it.
class Message {
 public:
  Message(Category &category, int priority, SourceLocation location, const void *object,
          std::string_view tag, fmt::string_view format, fmt::format_args args)
      : category_(category),
        priority_(priority),
        location_(location),
        object_(object),
        tag_(tag),
        format_(format),
        args_(args) {}

  Category &category() const { return category_; }
  int priority() const { return priority_; }
  const SourceLocation &location() const { return location_; }
  const void *object() const { return object_; }
  std::string_view tag() const { return tag_; }
  // The text with its "{}" placeholders filled in.
  std::string text() const { return fmt::vformat(format_, args_); }

 private:
  Category &category_;
  int priority_;
  SourceLocation location_;
  const void *object_;
  std::string_view tag_;
  fmt::string_view format_;
  fmt::format_args args_;
};

class Category {
 public:
  Category(const Category &) = delete;
  Category &operator=(const Category &) = delete;

  const std::string &name() const { return name_; }
  // Whether a message of this priority would be emitted now (thresholds may change at run time).
  bool isEnabled(int priority) const;
  // Emits the message if its priority is enabled; the text is prefixed with "<object> " when an
  // object is given and "[tag] " when the tag is not empty.
  void log(const Message &message);

  template <typename... Args>
  void log(int priority, SourceLocation location, const void *object, std::string_view tag,
           fmt::format_string<Args...> format, Args &&...args) {
    if (!isEnabled(priority)) return;
    log(Message(*this, priority, location, object, tag, format, fmt::make_format_args(args...)));
  }

  GstDebugCategory *gstCategory() const { return gst_category_; }

 private:
  friend class CategoryManager;
  explicit Category(std::string name);

  std::string name_;
  GstDebugCategory *gst_category_;
};

class CategoryManager {
 public:
  // The process-wide manager; never destroyed, so categories outlive static destructors.
  static CategoryManager &instance();
  // The category of this name, created on first request; the reference stays valid forever.
  Category &getCategory(std::string_view name);

 private:
  CategoryManager() = default;

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Category>, std::less<>> categories_;
};

// Logs through category with the caller's source location.
#define FN_LOG(category, priority, object, tag, ...)                                      \
  (category).log((priority), ::fn::logging::SourceLocation{__FILE__, __LINE__, __func__}, \
                 (object), (tag), __VA_ARGS__)

}  // namespace fn::logging
