// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "host/system/platform.h"
#include "host/system/scratch_directory.h"
#include "plugin/hushlink.h"

extern char** environ;

namespace hushlink::host {

const char* const kTextLineEnd = "\n";

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

// File names here are bytes; UTF-8 by convention, but taken as they come.
std::filesystem::path toPath(const std::string& utf8) { return std::filesystem::path(utf8); }

std::string toUtf8(const std::filesystem::path& path) { return path.native(); }

std::string forConsole(const std::string& utf8) { return utf8; }

std::filesystem::path ownPath() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

std::optional<std::string> environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return value;
}

ChildResult runChild(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     const EnvironmentVariables& environment,
                     const std::filesystem::path& workingDirectory,
                     const std::filesystem::path& outputPath,
                     const std::filesystem::path& errorPath, std::chrono::milliseconds limit) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> settings;
  for (const auto& [name, value] : environment) settings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const auto& set) {
      return variable.substr(0, variable.find('=')) == set.first;
    });
    if (!replaced) envp.push_back(*entry);
  }
  for (std::string& setting : settings) envp.push_back(setting.data());
  envp.push_back(nullptr);
  pid_t child;
  const int spawned =
      posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {false, false, false, 0, {}};

  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  bool timedOut = false;
  for (std::chrono::microseconds pause(100);;) {
    const pid_t ended = ::waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended < 0 && errno != EINTR) return {true, false, false, 0, "lost"};
    if (!timedOut && std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      timedOut = true;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  if (WIFEXITED(status)) return {true, timedOut, true, WEXITSTATUS(status), {}};
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const char* name = sigabbrev_np(signal);
  return {true, timedOut, false, 0,
          "killed by signal " + std::to_string(signal) +
              (name ? " (SIG" + std::string(name) + ")" : "")};
}

bool outputIsTerminal() { return ::isatty(1) == 1; }

std::filesystem::path memoryBackedTempFolder() {
  const std::filesystem::path shared = "/dev/shm";
  std::error_code unknown;
  if (std::filesystem::is_directory(shared, unknown) &&
      ::access(shared.c_str(), W_OK | X_OK) == 0) {
    return shared;
  }
  return std::filesystem::temp_directory_path();
}

void dismissMessageBoxes() {
  // Without a desktop session the plugin writes its messages to standard error.
  ::unsetenv(HUSHLINK_DESKTOP_VARIABLE);
  ::unsetenv(HUSHLINK_WAYLAND_DESKTOP_VARIABLE);
}

}  // namespace hushlink::host
