#include "tests/support/gst-log-capture.h"

namespace testsupport {

GstLogCapture::GstLogCapture(const char *category, GstDebugLevel threshold)
    : category_(category), old_threshold_(gst_debug_get_default_threshold())
{
  GstDebugCategory *cat = _gst_debug_get_category(category);
  if (cat) old_threshold_ = gst_debug_category_get_threshold(cat);
  gst_debug_set_threshold_for_name(category, threshold);
  gst_debug_add_log_function(&GstLogCapture::log_function, this, nullptr);
}

GstLogCapture::~GstLogCapture()
{
  gst_debug_remove_log_function_by_data(this);
  gst_debug_unset_threshold_for_name(category_.c_str());
  GstDebugCategory *cat = _gst_debug_get_category(category_.c_str());
  if (cat) gst_debug_category_set_threshold(cat, old_threshold_);
}

void
GstLogCapture::log_function(GstDebugCategory *category, GstDebugLevel level, const gchar *,
                            const gchar *function, gint, GObject *, GstDebugMessage *message,
                            gpointer user_data)
{
  auto *self = static_cast<GstLogCapture *>(user_data);
  if (self->category_ != gst_debug_category_get_name(category)) return;
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.push_back({level, function ? function : "", gst_debug_message_get(message)});
}

std::vector<GstLogCapture::Line>
GstLogCapture::lines() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int
GstLogCapture::count(GstDebugLevel level, const std::string &text) const
{
  int n = 0;
  for (const Line &l : lines())
    if (l.level == level && l.message.find(text) != std::string::npos) ++n;
  return n;
}

void
GstLogCapture::clear()
{
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace testsupport
