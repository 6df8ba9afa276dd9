// Opens libdynamic-audio-normalizer at run time and drives it through its C interface.
//
// The library is opened the first time something needs it and stays open for the life of the
// process; each path is tried once (a failure is remembered too). The path is
// $BASE_PLUGINS_NORMALIZER_LIBRARY when set (the build tree's tests, packagers), otherwise the
// installed one, $libdir/base_plugins/libdynamic-audio-normalizer.so.
#pragma once

#include <cstdint>
#include <string>

#include "dynamic-audio-normalizer/normalizer-abi.h"

namespace normalizer {

// The resolved calls of one opened library.
struct Library {
  uint32_t (*abi_version)(void);
  DanNormalizer *(*create)(const DanConfig *);
  void (*destroy)(DanNormalizer *);
  int (*initialize)(DanNormalizer *);
  int (*process_inplace)(DanNormalizer *, double *const *, int64_t, int64_t *);
  int (*flush)(DanNormalizer *, double *const *, int64_t, int64_t *);
  int (*reset)(DanNormalizer *);
  int64_t (*internal_delay)(const DanNormalizer *);
  const char *(*adjustments)(const DanNormalizer *);
};

struct LoadResult {
  const Library *library = nullptr;  // null on failure; never freed
  std::string path;                  // the file tried
  std::string error;                 // the loader's message on failure
};

// Thread-safe; cheap after the first call for a path.
LoadResult load();

// One normaliser object of a loaded library, with the calls of MDynamicAudioNormalizer_r8.
class Normalizer {
 public:
  Normalizer(const Library &library, const DanConfig &config)
      : lib_(&library), handle_(library.create(&config)) {}
  ~Normalizer() {
    if (handle_) lib_->destroy(handle_);
  }
  Normalizer(const Normalizer &) = delete;
  Normalizer &operator=(const Normalizer &) = delete;

  bool valid() const { return handle_ != nullptr; }
  bool initialize() { return handle_ && lib_->initialize(handle_); }
  bool processInplace(double *const *planes, int64_t input, int64_t &output) {
    output = 0;
    return handle_ && lib_->process_inplace(handle_, planes, input, &output);
  }
  bool flushBuffer(double *const *planes, int64_t capacity, int64_t &output) {
    output = 0;
    return handle_ && lib_->flush(handle_, planes, capacity, &output);
  }
  bool reset() { return handle_ && lib_->reset(handle_); }
  int64_t getInternalDelay() const { return handle_ ? lib_->internal_delay(handle_) : 0; }
  // One clamped value a line.
  std::string adjustments() const { return handle_ ? lib_->adjustments(handle_) : ""; }

 private:
  const Library *lib_;
  DanNormalizer *handle_;
};

}  // namespace normalizer
