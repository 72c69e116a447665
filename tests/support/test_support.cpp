// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/test_support.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/system/platform.h"
#include "plugin/settings/file_system.h"
#include "tests/expected.h"

namespace hushlink::testing {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> folderEntries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string lines(std::initializer_list<std::string_view> texts) {
  std::string out;
  for (const std::string_view text : texts) {
    out += text;
    out += files::kTextLineEnd;
  }
  return out;
}

TempWorkingDirectory::TempWorkingDirectory(Layout layout, const fs::path& in)
    : scratch_("test", static_cast<host::ScratchDirectory::Folders>(layout), in) {
  scratch_.enter();
}

// The files as the plugin names them.
std::string TempWorkingDirectory::log() const { return readFile(path() / expected::kLogFile); }

std::string TempWorkingDirectory::settingsFile() const {
  return readFile(path() / expected::kSettingsFile);
}

void TempWorkingDirectory::writeSettings(const std::string& content) const {
  writeFile(path() / expected::kSettingsFile, content);
}

// The harness's own way of running a program, with no time limit to speak of:
// a test's own timeout stops one that hangs.
CommandResult runCommand(const std::vector<std::string>& arguments) {
  const host::ScratchDirectory outputs("command", host::ScratchDirectory::kNoFolders);
  const fs::path out = outputs.path() / "out";
  const fs::path err = outputs.path() / "err";
  const host::ChildResult child =
      host::runChild(host::toPath(arguments.at(0)), {arguments.begin() + 1, arguments.end()}, {},
                     fs::current_path(), out, err, std::chrono::hours(1));
  const int exitCode = !child.started ? -1 : child.exited ? child.exitCode : 128;
  return {exitCode, readFile(out), readFile(err)};
}

CommandResult runHost(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {HUSHLINK_HOST};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runCommand(command);
}

std::vector<std::string> ShownMessages::texts() const {
  std::vector<std::string> result;
  for (const ShownMessage& message : shown()) result.push_back(message.text);
  return result;
}

}  // namespace hushlink::testing
