// fn::RefCountedObject: an intrusively counted object, deleted when its count drops to zero.
#pragma once

#include <atomic>

namespace fn {

class RefCountedObject {
 public:
  RefCountedObject() = default;
  RefCountedObject(const RefCountedObject &) = delete;
  RefCountedObject &operator=(const RefCountedObject &) = delete;

  // Takes a reference. Only for a holder of a reference (the count is above zero).
  void retain() const noexcept;
  // Takes a reference only while the count is above zero; false for an object that is already
  // being destroyed.
  [[nodiscard]] bool tryRetain() const noexcept;
  // Drops a reference; the last one deletes the object.
  void release() const noexcept;
  int referenceCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

 protected:
  // The creator holds the first reference.
  virtual ~RefCountedObject();

 private:
  mutable std::atomic<int> refs_{1};
};

}  // namespace fn
