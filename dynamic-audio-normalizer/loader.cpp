#include "dynamic-audio-normalizer/loader.h"

#include <gmodule.h>

#include <map>
#include <mutex>

namespace normalizer {

namespace {

constexpr char kPathVariable[] = "BASE_PLUGINS_NORMALIZER_LIBRARY";

struct Entry {
  Library library{};
  bool ok = false;
  std::string error;
};

template <typename T>
bool
resolve(GModule *module, const char *name, T &out, std::string &error)
{
  gpointer symbol = nullptr;
  if (!g_module_symbol(module, name, &symbol) || !symbol) {
    error = g_module_error();
    return false;
  }
  out = reinterpret_cast<T>(symbol);
  return true;
}

Entry
open_library(const std::string &path)
{
  Entry e;
  // Local binding keeps libavfilter's symbols out of the process's global namespace.
  GModule *module =
      g_module_open(path.c_str(), static_cast<GModuleFlags>(G_MODULE_BIND_LOCAL |
                                                            G_MODULE_BIND_LAZY));
  if (!module) {
    e.error = g_module_error();
    return e;
  }
  Library &l = e.library;
  // The version first: an incompatible library may lack or redefine the other calls.
  if (!resolve(module, "dan_abi_version", l.abi_version, e.error)) {
    g_module_close(module);
    return e;
  }
  const uint32_t version = l.abi_version();
  if (version != DAN_ABI_VERSION) {
    e.error = "ABI version " + std::to_string(version) + ", expected " +
              std::to_string(DAN_ABI_VERSION);
    g_module_close(module);
    return e;
  }
  if (!resolve(module, "dan_create", l.create, e.error) ||
      !resolve(module, "dan_destroy", l.destroy, e.error) ||
      !resolve(module, "dan_initialize", l.initialize, e.error) ||
      !resolve(module, "dan_process_inplace", l.process_inplace, e.error) ||
      !resolve(module, "dan_flush", l.flush, e.error) ||
      !resolve(module, "dan_reset", l.reset, e.error) ||
      !resolve(module, "dan_internal_delay", l.internal_delay, e.error) ||
      !resolve(module, "dan_adjustments", l.adjustments, e.error)) {
    g_module_close(module);
    return e;
  }
  // Kept open: normaliser objects may live until the process ends, and reopening costs the
  // whole libavfilter load again.
  g_module_make_resident(module);
  e.ok = true;
  return e;
}

}  // namespace

LoadResult
load()
{
  // Never destroyed: plugins may still hold normalisers while static destructors run.
  static std::mutex *lock = new std::mutex;
  static auto *opened = new std::map<std::string, Entry>;

  LoadResult result;
  const char *override_path = g_getenv(kPathVariable);
  result.path = override_path && *override_path ? override_path : NORMALIZER_LIBRARY_PATH;

  std::lock_guard<std::mutex> guard(*lock);
  auto it = opened->find(result.path);
  if (it == opened->end()) it = opened->emplace(result.path, open_library(result.path)).first;
  if (it->second.ok)
    result.library = &it->second.library;
  else
    result.error = it->second.error;
  return result;
}

}  // namespace normalizer
