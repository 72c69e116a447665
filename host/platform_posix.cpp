// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/platform.h"

extern char** environ;

namespace hushlink::host {

const char* const kTextLineEnd = "\n";

std::string ownPath() {
  char path[4096];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<std::size_t>(size)) : std::string();
}

ChildResult runChild(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                     const std::string& outputPath, const std::string& errorPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {false, false, 0};
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return {true, false, 0};
  }
  if (!WIFEXITED(status)) return {true, false, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
  return {true, true, WEXITSTATUS(status)};
}

bool outputIsTerminal() { return ::isatty(1) == 1; }

void dismissMessageBoxes() {
  // Without a desktop session the plugin writes its messages to standard error.
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
}

}  // namespace hushlink::host
