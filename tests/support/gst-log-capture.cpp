#include "tests/support/gst-log-capture.h"

namespace testsupport {

GstLogCapture::GstLogCapture(const char *category, GstDebugLevel threshold) : category_(category) {
  gst_debug_set_threshold_for_name(category, threshold);
  gst_debug_add_log_function(
      +[](GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint,
          GObject *, GstDebugMessage *message, gpointer data) {
        auto *self = static_cast<GstLogCapture *>(data);
        if (self->category_ != gst_debug_category_get_name(category)) return;
        std::lock_guard lock(self->mutex_);
        self->lines_.push_back({level, gst_debug_message_get(message)});
      },
      this, nullptr);
}

GstLogCapture::~GstLogCapture() {
  gst_debug_remove_log_function_by_data(this);
  gst_debug_unset_threshold_for_name(category_.c_str());
}

std::vector<GstLogCapture::Line>
GstLogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int
GstLogCapture::count(GstDebugLevel level, const std::string &text) const {
  int n = 0;
  for (const Line &l : lines()) n += l.level == level && l.message.find(text) != std::string::npos;
  return n;
}

void
GstLogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace testsupport
