// Costs the file read cache and the HRTF reader pay for the foundation layer: lock round trips
// (alone and contended), SHA-256 text of a 256 KiB read, Base64+MessagePack decoding.
#include <benchmark/benchmark.h>
#include <glib.h>

#include <msgpack.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/bytes.h"
#include "foundation/lock.h"
#include "foundation/mpack.h"
#include "foundation/stream.h"

namespace {

fn::LockBase shared_lock;
std::mutex shared_mutex;
long shared_counter = 0;

void
BM_LockBase(benchmark::State &state) {
  for (auto _ : state) {
    fn::ScopedLock guard(shared_lock);
    benchmark::DoNotOptimize(++shared_counter);
  }
}
BENCHMARK(BM_LockBase)->Threads(1)->Threads(2)->Threads(4);

void
BM_StdMutex(benchmark::State &state) {
  for (auto _ : state) {
    std::lock_guard<std::mutex> guard(shared_mutex);
    benchmark::DoNotOptimize(++shared_counter);
  }
}
BENCHMARK(BM_StdMutex)->Threads(1)->Threads(2)->Threads(4);

void
BM_SHA256Hex(benchmark::State &state) {
  fn::ByteArray data(256 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
  for (auto _ : state) benchmark::DoNotOptimize(data.view().SHA256Hex());
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_SHA256Hex);

// One rate of a 710-direction set with 512 float32 taps per ear, as Base64 text.
std::string
hrtfText() {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_map(1);
  pk.pack(44100);
  pk.pack_array(710);
  for (int i = 0; i < 710; ++i) {
    pk.pack_map(3);
    pk.pack(std::string("azimuth"));
    pk.pack(i % 360);
    pk.pack(std::string("delay"));
    pk.pack(std::vector<unsigned>{3, 5});
    pk.pack(std::string("taps"));
    pk.pack_array(2);
    for (int ear = 0; ear < 2; ++ear) pk.pack(std::vector<float>(512, 0.25f * ear));
  }
  gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(buffer.data()), buffer.size());
  std::string s(text);
  g_free(text);
  return s;
}

void
BM_DecodeHrtfText(benchmark::State &state) {
  const std::string text = hrtfText();
  for (auto _ : state) {
    fn::MemoryInputStream memory(text);
    fn::Base64Decoder decoder;
    fn::TransformInputStream stream(memory, decoder);
    benchmark::DoNotOptimize(fn::mpack::Deserializer(stream).deserialize());
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_DecodeHrtfText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
