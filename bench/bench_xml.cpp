// XML value store: building a large scan-result document and saving it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "platform/FileSystem.h"
#include "support/XmlStore.h"

namespace {

using kestrel::CXmlStore;
using kestrel::ElementRef;

// A temporary folder removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    if (!path_.empty()) kestrel::platform::RemoveTree(path_);
  }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One folder element with `files` File%d children of four keys each, written
// through kept element handles.
void FillWithHandles(CXmlStore& store, int files) {
  const ElementRef root = store.Find({"Scanresult"});
  const ElementRef folder = store.AddElementAt(root, "Folder1");
  store.SetStringAt(folder, "Foldername", "RootFolder");
  char name[32];
  char value[32];
  for (int m = 1; m <= files; ++m) {
    std::snprintf(name, sizeof name, "File%d", m);
    const ElementRef file = store.AddElementAt(folder, name);
    std::snprintf(value, sizeof value, "document_%d.txt", m);
    store.SetStringAt(file, "Filename", value);
    std::snprintf(value, sizeof value, "%lu", 3000000000ul + static_cast<unsigned long>(m));
    store.SetStringAt(file, "TimeLow", value);
    store.SetStringAt(file, "TimeHigh", "30000000");
    store.SetStringAt(file, "Write", "true");
  }
  store.SetStringAt(root, "TotalSize", "123456789");
}

void BM_AddFilesWithHandles(benchmark::State& state) {
  ScratchFolder scratch;
  const int files = static_cast<int>(state.range(0));
  for (auto _ : state) {
    CXmlStore store;
    store.Create(scratch.File("scan.xml"), "Scanresult");
    FillWithHandles(store, files);
    benchmark::DoNotOptimize(store.IsLoaded());
  }
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_AddFilesWithHandles)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The name-addressed calls: every File%d lookup scans the siblings before it.
void BM_AddFilesByName(benchmark::State& state) {
  ScratchFolder scratch;
  const int files = static_cast<int>(state.range(0));
  char name[32];
  for (auto _ : state) {
    CXmlStore store;
    store.Create(scratch.File("scan.xml"), "Scanresult");
    store.AddElement({"Scanresult", "Folder1"});
    for (int m = 1; m <= files; ++m) {
      std::snprintf(name, sizeof name, "File%d", m);
      store.AddElement({"Scanresult", "Folder1", name});
      store.SetString({"Scanresult", "Folder1", name}, "Filename", "document.txt");
      store.SetString({"Scanresult", "Folder1", name}, "TimeLow", "1");
      store.SetString({"Scanresult", "Folder1", name}, "TimeHigh", "2");
      store.SetString({"Scanresult", "Folder1", name}, "Write", "true");
    }
    benchmark::DoNotOptimize(store.IsLoaded());
  }
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_AddFilesByName)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_Save(benchmark::State& state) {
  ScratchFolder scratch;
  CXmlStore store;
  store.Create(scratch.File("scan.xml"), "Scanresult");
  FillWithHandles(store, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (!store.Save()) state.SkipWithError("save failed");
  }
  kestrel::platform::DirEntry status;
  kestrel::platform::Stat(scratch.File("scan.xml"), status);
  state.counters["file_bytes"] = static_cast<double>(status.size);
}
BENCHMARK(BM_Save)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Load(benchmark::State& state) {
  ScratchFolder scratch;
  {
    CXmlStore store;
    store.Create(scratch.File("scan.xml"), "Scanresult");
    FillWithHandles(store, static_cast<int>(state.range(0)));
    store.Save();
  }
  for (auto _ : state) {
    CXmlStore store;
    if (!store.Load(scratch.File("scan.xml"))) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_Load)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
