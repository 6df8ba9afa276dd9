#include "foundation/ref-counted.h"

namespace fn {

RefCountedObject::~RefCountedObject() = default;

void
RefCountedObject::retain() const noexcept {
  refs_.fetch_add(1, std::memory_order_relaxed);
}

bool
RefCountedObject::tryRetain() const noexcept {
  int n = refs_.load(std::memory_order_relaxed);
  while (n > 0) {
    if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

void
RefCountedObject::release() const noexcept {
  // acq_rel: every write made through other references happens before the delete.
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace fn
