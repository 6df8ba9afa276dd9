// fn::AutoPtr<T>: a counted reference to a fn::RefCountedObject or a GStreamer mini object.
#pragma once

#include <gst/gst.h>

#include <concepts>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/debug.h"
#include "foundation/exception.h"
#include "foundation/ref-counted.h"

namespace fn {

template <typename T>
struct AutoPtrTraits;

template <typename T>
requires std::derived_from<T, RefCountedObject>
struct AutoPtrTraits<T> {
  static bool retain(T *p) { return p->tryRetain(); }
  static void release(T *p) { p->release(); }
};

// Mini objects start with a GstMiniObject, so the generic ref/unref serve every one of them.
#define FN_AUTO_PTR_MINI_OBJECT(Type)                                                \
  template <>                                                                        \
  struct AutoPtrTraits<Type> {                                                       \
    static bool retain(Type *p) {                                                    \
      gst_mini_object_ref(GST_MINI_OBJECT_CAST(p));                                  \
      return true;                                                                   \
    }                                                                                \
    static void release(Type *p) { gst_mini_object_unref(GST_MINI_OBJECT_CAST(p)); } \
  }
FN_AUTO_PTR_MINI_OBJECT(GstBuffer);
FN_AUTO_PTR_MINI_OBJECT(GstBufferList);
FN_AUTO_PTR_MINI_OBJECT(GstCaps);
FN_AUTO_PTR_MINI_OBJECT(GstEvent);
FN_AUTO_PTR_MINI_OBJECT(GstQuery);
FN_AUTO_PTR_MINI_OBJECT(GstMessage);
FN_AUTO_PTR_MINI_OBJECT(GstSample);
FN_AUTO_PTR_MINI_OBJECT(GstTagList);
#undef FN_AUTO_PTR_MINI_OBJECT

[[noreturn]] void throwNullPointer(const std::string &class_name);

template <typename T>
class AutoPtr {
 public:
  AutoPtr() noexcept = default;
  AutoPtr(std::nullptr_t) noexcept {}  // NOLINT: null handle
  // Adopts the caller's reference.
  explicit AutoPtr(T *p) noexcept : p_(p) {}
  // Takes a reference of its own to an object the caller keeps. Gives a null handle for a
  // counted object whose count has already dropped to zero.
  static AutoPtr borrow(T *p) noexcept {
    return AutoPtr(p && AutoPtrTraits<T>::retain(p) ? p : nullptr);
  }

  AutoPtr(const AutoPtr &other) noexcept : p_(other.p_) {
    if (p_) AutoPtrTraits<T>::retain(p_);
  }
  AutoPtr(AutoPtr &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <typename U>
  requires(std::convertible_to<U *, T *> && !std::same_as<U, T>) AutoPtr(const AutoPtr<U> &other)
  noexcept : p_(other.get()) {  // NOLINT: upcast
    if (p_) AutoPtrTraits<T>::retain(p_);
  }
  template <typename U>
  requires(std::convertible_to<U *, T *> && !std::same_as<U, T>) AutoPtr(AutoPtr<U> &&other)
  noexcept : p_(other.release()) {}  // NOLINT: upcast

  AutoPtr &operator=(const AutoPtr &other) noexcept {
    AutoPtr(other).swap(*this);
    return *this;
  }
  AutoPtr &operator=(AutoPtr &&other) noexcept {
    AutoPtr(std::move(other)).swap(*this);
    return *this;
  }
  AutoPtr &operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }
  ~AutoPtr() { reset(); }

  T *get() const noexcept { return p_; }
  T *operator->() const { return checked(); }
  T &operator*() const { return *checked(); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Gives the reference to the caller (for consumers that take ownership, e.g. gst_pad_push).
  [[nodiscard]] T *release() noexcept { return std::exchange(p_, nullptr); }
  // Drops the reference held and adopts p.
  void reset(T *p = nullptr) noexcept {
    T *old = std::exchange(p_, p);
    if (old) AutoPtrTraits<T>::release(old);
  }
  void swap(AutoPtr &other) noexcept { std::swap(p_, other.p_); }

  friend bool operator==(const AutoPtr &a, const AutoPtr &b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const AutoPtr &a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  T *checked() const {
    if (!p_) throwNullPointer(debug::demangleTypeName<T>());
    return p_;
  }

  T *p_ = nullptr;
};

// Creates a counted object holding its first reference.
template <typename T, typename... Args>
requires std::derived_from<T, RefCountedObject> AutoPtr<T>
makeAuto(Args &&...args) {
  return AutoPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace fn
