// sofa-to-hrtf: prints the horizontal-plane impulse responses of a SOFA file as the text that
// binauraldownmixer's "hrtf" property takes (Base64 over MessagePack, float32 taps).
//
//   gst-launch-1.0 ... ! binauraldownmixer hrtf="$(sofa-to-hrtf my-head.sofa)" ! ...
#include <cstdio>
#include <cstring>

#include "foundation/exception.h"
#include "hrtf/hrtf.h"

int
main(int argc, char **argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: %s FILE.sofa\n", argv[0]);
    return 2;
  }
  try {
    const fn::String text = hrtf::toString(hrtf::fromSofa(argv[1]));
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const fn::Exception &e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
}
