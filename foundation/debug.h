// Readable names of C++ types for messages.
#pragma once

#include <string>
#include <typeinfo>

namespace fn::debug {

// Demangles a name from std::type_info::name(); returns it unchanged when it cannot.
std::string demangleTypeName(const char *mangled);

template <typename T>
std::string
demangleTypeName() {
  return demangleTypeName(typeid(T).name());
}

}  // namespace fn::debug
