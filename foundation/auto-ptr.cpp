#include "foundation/auto-ptr.h"

namespace fn {

void
throwNullPointer(const std::string &class_name) {
  throw NullPointerException("Attempted to dereference NULL pointer of class " + class_name);
}

}  // namespace fn
