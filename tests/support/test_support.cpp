// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

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
    : previous_(fs::current_path()) {
  std::random_device random;
  do {
    path_ = in / ("hushlink-test-" + std::to_string(random()));
  } while (!fs::create_directory(path_));
  if (layout & kInis) fs::create_directory(path_ / "inis");
  if (layout & kLogs) fs::create_directory(path_ / "logs");
  fs::current_path(path_);
}

// The files as the plugin names them.
std::string TempWorkingDirectory::log() const { return readFile(path_ / expected::kLogFile); }

std::string TempWorkingDirectory::settingsFile() const {
  return readFile(path_ / expected::kSettingsFile);
}

void TempWorkingDirectory::writeSettings(const std::string& content) const {
  writeFile(path_ / expected::kSettingsFile, content);
}

TempWorkingDirectory::~TempWorkingDirectory() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
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
