// Stands in for a normaliser library the plugin must refuse: built once answering with another
// ABI version, once with the right version but none of the other calls, once without any call.
#include <cstdint>

#ifdef STUB_ABI_VERSION
extern "C" __attribute__((visibility("default"))) uint32_t
dan_abi_version(void)
{
  return STUB_ABI_VERSION;
}
#endif
