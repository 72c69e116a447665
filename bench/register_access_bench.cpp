// SPDX-License-Identifier: GPL-2.0-or-later
// The plugin's hot path measured the way the host drives it: the module
// loaded with dlopen, its entry points called through resolved pointers, each
// beside the floor it is held to.
//
// Standard output goes to a file (stdout.txt in the working directory), as it
// would for a host whose output is redirected; results go to standard error.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "plugin/hushlink.h"

namespace {

struct Module {
  void* handle = nullptr;
  void* symbol(const char* name) const {
    void* address = ::dlsym(handle, name);
    if (address == nullptr) {
      std::fprintf(stderr, "missing %s\n", name);
      std::exit(1);
    }
    return address;
  }
  static Module load(const char* path) {
    Module module{::dlopen(path, RTLD_NOW | RTLD_LOCAL)};
    if (module.handle == nullptr) {
      std::fprintf(stderr, "%s\n", ::dlerror());
      std::exit(1);
    }
    return module;
  }
};

Module plugin;
Module floorModule;
FWinitFn init;
FWshutdownFn shutdown;
FWread32Fn read32;
FWwrite32Fn write32;
FWread32Fn floorRead32;
FWwrite32Fn floorWrite32;

void writeSetting(int logging) {
  std::FILE* file = std::fopen("inis/Hushlink.ini", "w");
  std::fprintf(file, "logging = %d\n", logging);
  std::fclose(file);
}

// Addresses walk the store so that the loads are not all one cache line.
constexpr std::uint32_t kAddressStep = 0x1F4;
// Register accesses are timed in batches: one call costs about as much as the
// benchmark's own loop, and the reported time is per access.
constexpr int kBatch = 64;
std::uint32_t nextAddress(std::uint32_t address) { return (address + kAddressStep) | 0x1F800000; }

void startPlugin(benchmark::State& state, int logging) {
  writeSetting(logging);
  if (init() != 0) state.SkipWithError("FWinit failed");
}

void BM_Read_Plugin(benchmark::State& state) {
  startPlugin(state, 0);
  std::uint32_t address = 0x1F800000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(read32(address));
      address = nextAddress(address);
    }
  }
  shutdown();
}

void BM_Read_Floor(benchmark::State& state) {
  std::uint32_t address = 0x1F800000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(floorRead32(address));
      address = nextAddress(address);
    }
  }
}

void BM_Write_Plugin(benchmark::State& state) {
  startPlugin(state, 0);
  std::uint32_t address = 0x1F800000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      write32(address, address);
      address = nextAddress(address);
    }
  }
  shutdown();
}

void BM_Write_Floor(benchmark::State& state) {
  std::uint32_t address = 0x1F800000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      floorWrite32(address, address);
      address = nextAddress(address);
    }
  }
}

// One logged read: the line to the log file on the local disk, and to the
// (redirected) standard output.
void BM_LoggedRead_Plugin(benchmark::State& state) {
  startPlugin(state, 1);
  for (auto _ : state) benchmark::DoNotOptimize(read32(0x1F801234));
  shutdown();
}

// The same bytes the log file gets for that read, in one write call.
void BM_LoggedRead_Floor(benchmark::State& state) {
  const char line[] = "FW read mem 0x1f801234: 0x0\n";
  const int file = ::open("logs/floor.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  for (auto _ : state) benchmark::DoNotOptimize(::write(file, line, sizeof line - 1));
  ::close(file);
}

void BM_InitShutdown_Plugin(benchmark::State& state) {
  writeSetting(0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(init());
    shutdown();
  }
}

BENCHMARK(BM_Read_Plugin);
BENCHMARK(BM_Read_Floor);
BENCHMARK(BM_Write_Plugin);
BENCHMARK(BM_Write_Floor);
constexpr const char* kBatched[] = {"BM_Read_Plugin", "BM_Read_Floor", "BM_Write_Plugin",
                                    "BM_Write_Floor"};
BENCHMARK(BM_LoggedRead_Plugin);
BENCHMARK(BM_LoggedRead_Floor);
BENCHMARK(BM_InitShutdown_Plugin);

// Keeps each benchmark's median and prints the plugin-to-floor ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string& name = run.run_name.function_name;
      const bool batched =
          std::find(std::begin(kBatched), std::end(kBatched), name) != std::end(kBatched);
      const double perAccess = run.GetAdjustedRealTime() / (batched ? kBatch : 1);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[name] = perAccess;
      } else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
        medians_[name] = perAccess;
      }
    }
  }

  void printSummary(std::ostream& out) const {
    out << "\n| Measure | Plugin (ns) | Floor (ns) | Ratio | Goal |\n"
        << "|---|---:|---:|---:|---:|\n";
    row(out, "Register read, logging off", "BM_Read", 1.5);
    row(out, "Register write, logging off", "BM_Write", 1.5);
    row(out, "Logged register read", "BM_LoggedRead", 1.3);
    const auto pair = medians_.find("BM_InitShutdown_Plugin");
    if (pair != medians_.end()) {
      char text[128];
      std::snprintf(text, sizeof text, "| FWinit + FWshutdown | %.1f | | | |\n", pair->second);
      out << text;
    }
  }

 private:
  void row(std::ostream& out, const char* label, const std::string& name, double goal) const {
    const auto plugin = medians_.find(name + "_Plugin");
    const auto floor = medians_.find(name + "_Floor");
    if (plugin == medians_.end() || floor == medians_.end()) return;
    const double ratio = plugin->second / floor->second;
    char text[160];
    std::snprintf(text, sizeof text, "| %s | %.2f | %.2f | %.2f | %s %.1f |\n", label,
                  plugin->second, floor->second, ratio,
                  ratio <= goal ? "met, <=" : "MISSED, <=", goal);
    out << text;
  }

  std::map<std::string, double> medians_;
};

// A scratch working directory with the plugin's folders; standard output
// becomes a file in it. Returns its path, for removing it at the end.
std::string enterScratchDirectory() {
  char path[] = "/tmp/hushlink-bench-XXXXXX";
  if (::mkdtemp(path) == nullptr || ::chdir(path) != 0) {
    std::perror("scratch directory");
    std::exit(1);
  }
  ::mkdir("inis", 0777);
  ::mkdir("logs", 0777);
  if (std::freopen("stdout.txt", "w", stdout) == nullptr) std::exit(1);
  std::fprintf(stderr, "working directory: %s\n", path);
  return path;
}

// The log grows by millions of lines a run: it is not left behind in /tmp.
void removeScratchDirectory(const std::string& path) {
  std::fflush(stdout);
  std::error_code ignored;
  if (::chdir("/") == 0) std::filesystem::remove_all(path, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  const char* modulePath = std::getenv("HUSHLINK_BENCH_MODULE");
  const char* floorPath = std::getenv("HUSHLINK_BENCH_FLOOR");
  plugin = Module::load(modulePath != nullptr ? modulePath : HUSHLINK_MODULE);
  floorModule = Module::load(floorPath != nullptr ? floorPath : HUSHLINK_FLOOR_MODULE);
  init = reinterpret_cast<FWinitFn>(plugin.symbol("FWinit"));
  shutdown = reinterpret_cast<FWshutdownFn>(plugin.symbol("FWshutdown"));
  read32 = reinterpret_cast<FWread32Fn>(plugin.symbol("FWread32"));
  write32 = reinterpret_cast<FWwrite32Fn>(plugin.symbol("FWwrite32"));
  floorRead32 = reinterpret_cast<FWread32Fn>(floorModule.symbol("floorRead32"));
  floorWrite32 = reinterpret_cast<FWwrite32Fn>(floorModule.symbol("floorWrite32"));

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const std::string scratch = enterScratchDirectory();
  RatioReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary(std::cerr);
  benchmark::Shutdown();
  removeScratchDirectory(scratch);
  return 0;
}
