// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host summary on a 1,000,000-line log, the size of a long session
// with logging on: the log read and summed up in this process, and the
// whole command as a user runs it. The goal is well under a second.
//
// The log is made once, in a scratch folder: a session's start, then reads
// and writes over 200 offsets, each reached through three aliases, with
// half the writes a counter (a new value each time, the costly case for the
// distinct values) and the rest one repeated value.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "host/formats/log_summary.h"
#include "host/formats/plugin_log.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kLines = 1000000;
fs::path logPath;

void writeLog(const fs::path& path) {
  std::ofstream log(path, std::ios::binary);
  log << "Hushlink plugin version 0,6\nInitializing Hushlink\nOpening Hushlink.\n";
  std::mt19937 random(20);
  std::uint32_t offsets[200];
  for (std::uint32_t& offset : offsets) offset = random() & 0xFFFC;
  constexpr std::uint32_t kAliases[] = {0x1F800000, 0x00000000, 0xFFFF0000};
  std::uint32_t counter = 0;
  char line[64];
  for (int i = 3; i < kLines - 1; ++i) {
    const std::uint32_t address = kAliases[random() % 3] | offsets[random() % 200];
    if (random() % 5 < 3) {
      std::snprintf(line, sizeof line, "FW read mem 0x%x: 0x%x\n", address, counter);
    } else {
      const std::uint32_t value = random() % 2 != 0 ? ++counter : 0x80;
      std::snprintf(line, sizeof line, "FW write mem 0x%x: 0x%x\n", address, value);
    }
    log << line;
  }
  log << "Closing Hushlink.\n";
}

void BM_SummarizeLog(benchmark::State& state) {
  for (auto _ : state) {
    hushlink::host::PluginLog log;
    hushlink::host::LogSummary summary;
    std::string error;
    if (!log.open(logPath.string(), error) || !summarizeLog(log, summary, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    benchmark::DoNotOptimize(summary.offsets.data());
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

// The command with its output thrown away: start, reading, printing, exit.
void BM_SummaryCommand(benchmark::State& state) {
  const std::string log = logPath.string();
  char* argv[] = {const_cast<char*>(HUSHLINK_HOST), const_cast<char*>("summary"),
                  const_cast<char*>(log.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t child;
    int status = 0;
    if (posix_spawn(&child, HUSHLINK_HOST, &actions, nullptr, argv, environ) != 0 ||
        ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("hushlink-host summary failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  state.SetItemsProcessed(state.iterations() * kLines);
}

BENCHMARK(BM_SummarizeLog)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SummaryCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char folder[] = "/tmp/hushlink-summary-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) {
    std::perror("scratch folder");
    return 1;
  }
  logPath = fs::path(folder) / "Hushlink.log";
  writeLog(logPath);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(folder);
  return 0;
}
