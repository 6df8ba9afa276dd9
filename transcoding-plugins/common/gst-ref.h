// Move-only owning handles for GStreamer and GLib references, and a buffer map guard.
#pragma once

#include <gst/gst.h>

#include <utility>

namespace gstref {

template <typename T>
struct RefTraits;

#define BASE_PLUGINS_MINI_OBJECT_TRAITS(Type, ref_fn, unref_fn)      \
  template <>                                                        \
  struct RefTraits<Type> {                                           \
    static Type *ref(Type *p) { return ref_fn(p); }                  \
    static void unref(Type *p) { unref_fn(p); }                      \
  }

BASE_PLUGINS_MINI_OBJECT_TRAITS(GstBuffer, gst_buffer_ref, gst_buffer_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstCaps, gst_caps_ref, gst_caps_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstEvent, gst_event_ref, gst_event_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstQuery, gst_query_ref, gst_query_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstMessage, gst_message_ref, gst_message_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstBufferList, gst_buffer_list_ref, gst_buffer_list_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstSample, gst_sample_ref, gst_sample_unref);
BASE_PLUGINS_MINI_OBJECT_TRAITS(GstTagList, gst_tag_list_ref, gst_tag_list_unref);
#undef BASE_PLUGINS_MINI_OBJECT_TRAITS

template <>
struct RefTraits<GByteArray> {
  static GByteArray *ref(GByteArray *p) { return g_byte_array_ref(p); }
  static void unref(GByteArray *p) { g_byte_array_unref(p); }
};

template <>
struct RefTraits<GstStructure> {
  // Structures are not reference counted: the handle owns a unique copy.
  static GstStructure *ref(GstStructure *p) { return gst_structure_copy(p); }
  static void unref(GstStructure *p) { gst_structure_free(p); }
};

// Everything else is a GObject.
template <typename T>
struct RefTraits {
  static T *ref(T *p) { return static_cast<T *>(g_object_ref(p)); }
  static void unref(T *p) { g_object_unref(p); }
};

template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref &operator=(Ref &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { reset(); }

  // Takes over a transfer-full reference.
  static Ref adopt(T *p) { return Ref(p); }
  // Takes a new reference to a borrowed pointer.
  static Ref retain(T *p) { return Ref(p ? RefTraits<T>::ref(p) : nullptr); }

  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to a consumer that takes ownership (gst_pad_push and friends).
  [[nodiscard]] T *release() { return std::exchange(p_, nullptr); }
  void reset(T *p = nullptr) {
    T *old = std::exchange(p_, p);
    if (old) RefTraits<T>::unref(old);
  }
  // For out-parameters of C APIs: drops the current reference and exposes the slot.
  T **out() {
    reset();
    return &p_;
  }

 private:
  explicit Ref(T *p) : p_(p) {}
  T *p_ = nullptr;
};

template <typename T>
Ref<T>
adopt(T *p)
{
  return Ref<T>::adopt(p);
}

template <typename T>
Ref<T>
retain(T *p)
{
  return Ref<T>::retain(p);
}

// Maps a buffer for the lifetime of the guard; ok() tells whether the map succeeded.
class BufferMap {
 public:
  BufferMap(GstBuffer *buffer, GstMapFlags flags) : buffer_(buffer) {
    ok_ = buffer && gst_buffer_map(buffer, &info_, flags);
  }
  BufferMap(const BufferMap &) = delete;
  BufferMap &operator=(const BufferMap &) = delete;
  ~BufferMap() {
    if (ok_) gst_buffer_unmap(buffer_, &info_);
  }
  bool ok() const { return ok_; }
  guint8 *data() const { return ok_ ? info_.data : nullptr; }
  gsize size() const { return ok_ ? info_.size : 0; }

 private:
  GstBuffer *buffer_;
  GstMapInfo info_ = GST_MAP_INFO_INIT;
  bool ok_ = false;
};

// Frees a g_malloc'ed block or string.
struct GFreeDeleter {
  void operator()(void *p) const { g_free(p); }
};

}  // namespace gstref
