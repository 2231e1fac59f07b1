// Packing and unpacking speed of one 64 MB file, the work every transfer does
// before its first chunk and after its last: text-like data (varied log lines,
// deflated at level 1) and incompressible data (deflate's stored blocks).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>

#include "platform/FileSystem.h"
#include "support/StreamingPacker.h"
#include "support/ZipArchive.h"

namespace {

using namespace kestrel;

constexpr std::size_t kFileSize = 64u << 20;

// Log lines of a few words each in a 4 MB pattern, repeated: deflate's
// window never reaches back to the repetitions.
std::string TextLike(std::size_t size) {
  static const char* const kWords[] = {"server",  "client",  "upload", "download", "chunk",
                                       "archive", "folder",  "scan",   "user",     "project",
                                       "rights",  "warning", "login",  "session",  "file"};
  std::mt19937 gen(7);
  std::string pattern;
  while (pattern.size() < (4u << 20)) {
    pattern += std::to_string(gen() % 28 + 1) + "." + std::to_string(gen() % 12 + 1) + ".26 " +
               std::to_string(gen() % 24) + ":" + std::to_string(gen() % 60) + " - Info:";
    for (unsigned i = 0, n = 4 + gen() % 9; i < n; ++i)
      pattern += " " + std::string(kWords[gen() % 15]);
    pattern += " " + std::to_string(gen() % 1000000) + "\n";
  }
  std::string out;
  while (out.size() < size) out += pattern.substr(0, size - out.size());
  return out;
}

std::string Incompressible(std::size_t size) {
  std::mt19937_64 gen(11);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

// A temporary folder holding both source files, made once.
struct Files {
  Files() {
    char pattern[] = "/tmp/kestrel-bench-pack-XXXXXX";
    dir = mkdtemp(pattern);
    std::ofstream(dir + "/text.txt", std::ios::binary) << TextLike(kFileSize);
    std::ofstream(dir + "/random.bin", std::ios::binary) << Incompressible(kFileSize);
  }
  ~Files() { platform::RemoveTree(dir); }
  std::string Source(bool text) const { return dir + (text ? "/text.txt" : "/random.bin"); }
  std::string dir;
};

Files& TheFiles() {
  static Files files;
  return files;
}

// Arg 1: text-like, 0: incompressible.
void BM_Pack(benchmark::State& state) {
  const Files& f = TheFiles();
  const std::string archive = f.dir + "/pack.zip";
  for (auto _ : state) {
    if (!PackFile(archive, f.Source(state.range(0) != 0), "transfer.dat")) {
      state.SkipWithError("packing failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// The archive packed while it is sent: the fast level on two cores.
void BM_StreamingPack(benchmark::State& state) {
  const Files& f = TheFiles();
  const std::string archive = f.dir + "/stream.zip";
  for (auto _ : state) {
    platform::File source;
    StreamingPacker packer;
    if (source.Open(f.Source(state.range(0) != 0), platform::File::kRead) != 0 ||
        !packer.Start(archive, "transfer.dat", std::move(source), nullptr) ||
        !packer.WaitFor(UINT64_MAX).ok) {
      state.SkipWithError("packing failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_Unpack(benchmark::State& state) {
  const Files& f = TheFiles();
  const std::string archive = f.dir + "/unpack.zip";
  if (!PackFile(archive, f.Source(state.range(0) != 0), "transfer.dat")) {
    state.SkipWithError("packing failed");
    return;
  }
  for (auto _ : state) {
    if (!ExtractArchive(archive, f.dir + "/unpacked.dat").ok) {
      state.SkipWithError("unpacking failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_Pack)->Arg(1)->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamingPack)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpack)->Arg(1)->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
