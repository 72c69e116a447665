// SPDX-License-Identifier: GPL-2.0-or-later
// The message box on a POSIX desktop: a dialog program when a desktop session
// is there to show it, otherwise one line on standard error, so a headless
// host never blocks on a box nobody can see.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/message_box/message_box.h"

extern char** environ;

namespace hushlink {

namespace {

// How many bytes of `text` make its first character in `encoding`, for
// passing over a character that does not convert: a whole UTF-8 sequence,
// or (GBK, where a bad byte may start a pair) a single byte.
std::size_t characterSize(const char* encoding, const char* text, std::size_t left) {
  if (std::strcmp(encoding, "UTF-8") != 0) return 1;
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  std::size_t size = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  for (std::size_t i = 1; i < size && i < left; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return i;
  }
  return std::min(size, left);
}

// The text converted between encodings; each character that does not
// convert shows as "?" instead of vanishing. Without the converter, ASCII
// passes and the rest shows as "?".
std::string converted(const std::string& text, const char* from, const char* to) {
  std::string out;
  const iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    for (const char c : text) out += (static_cast<unsigned char>(c) < 0x80) ? c : '?';
    return out;
  }
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char chunk[256];
  while (inLeft > 0) {
    char* outPtr = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, static_cast<std::size_t>(outPtr - chunk));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out += '?';
      const std::size_t skipped = characterSize(from, in, inLeft);
      in += skipped;
      inLeft -= skipped;
      iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(converter);
  return out;
}

// The character set of the user's locale, as the environment names it
// (LC_ALL, LC_CTYPE, LANG), learnt without touching the host's own locale.
std::string userCharset() {
  const locale_t user = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (user == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
  const std::string charset = ::nl_langinfo_l(CODESET, user);
  ::freelocale(user);
  return charset;
}

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

bool hasDesktopSession() {
  return isSet(HUSHLINK_DESKTOP_VARIABLE) || isSet(HUSHLINK_WAYLAND_DESKTOP_VARIABLE);
}

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  const std::string_view directories = path;
  std::size_t start = 0;
  while (start <= directories.size()) {
    std::size_t end = directories.find(':', start);
    if (end == std::string_view::npos) end = directories.size();
    const std::string_view directory = directories.substr(start, end - start);
    // An empty entry means the current directory.
    std::string candidate(directory.empty() ? std::string_view(".") : directory);
    candidate += '/';
    candidate += program;
    struct stat info;
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return {};
}

// A dialog program we know: its arguments for the caption, the text as
// one argument and a single OK button, and the exit status that means the
// user saw the text and pressed OK.
struct DialogProgram {
  const char* name;
  int shownStatus;
  std::vector<std::string> (*arguments)(const std::string& text);
};

// In the order we prefer them.
const DialogProgram kDialogPrograms[] = {
    {"zenity", 0,
     [](const std::string& text) -> std::vector<std::string> {
       return {"zenity", "--info", "--no-markup", "--title=" HUSHLINK_MESSAGE_CAPTION,
               "--text=" + text};
     }},
    {"kdialog", 0,
     [](const std::string& text) -> std::vector<std::string> {
       return {"kdialog", "--title", HUSHLINK_MESSAGE_CAPTION, "--msgbox", text};
     }},
    // xmessage exits with 100 plus the number of the button pressed. It
    // shows the text in the user's character set; beyond ASCII only with its
    // international resource.
    {"xmessage", 101,
     [](const std::string& text) -> std::vector<std::string> {
       const std::string charset = userCharset();
       const bool ascii = charset == "ANSI_X3.4-1968";
       std::vector<std::string> arguments = {"xmessage"};
       if (!ascii) arguments.insert(arguments.end(), {"-xrm", "*international: true"});
       arguments.insert(arguments.end(),
                        {"-title", HUSHLINK_MESSAGE_CAPTION, "-buttons", "OK", "-default", "OK",
                         "-center", converted(text, "UTF-8", ascii ? "ASCII" : charset.c_str())});
       return arguments;
     }},
};

// What became of a dialog program.
enum class Ran { Shown, Failed, Unknown };

// Runs the program and waits for it. A program that ran but whose status the
// host took for itself (it ignores SIGCHLD, or reaps its children) counts as
// having shown the box: it ran, and nothing says otherwise.
Ran runAndWait(const std::string& path, const std::vector<std::string>& arguments,
               int shownStatus) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  if (posix_spawn(&child, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return Ran::Failed;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return Ran::Unknown;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == shownStatus ? Ran::Shown : Ran::Failed;
}

// Only a program that says the user saw the text counts: one that could not
// open the display (a stale DISPLAY) exits otherwise, and the next is tried.
bool showInDialog(const std::string& text) {
  if (!hasDesktopSession()) return false;
  for (const DialogProgram& program : kDialogPrograms) {
    const std::string path = findOnPath(program.name);
    if (path.empty()) continue;
    if (runAndWait(path, program.arguments(text), program.shownStatus) != Ran::Failed) return true;
  }
  return false;
}

// Without memory to convert the text or to start a dialog program, the
// message still reaches the user, on standard error: its ASCII as it is and
// every other byte as "?", as without the converter. A failed Configure
// notice must not cost the save that follows it.
void writeWithoutMemory(const char* text) {
  char ascii[512];
  std::size_t size = 0;
  for (; text[size] != '\0' && size < sizeof ascii - 1; ++size) {
    ascii[size] = static_cast<unsigned char>(text[size]) < 0x80 ? text[size] : '?';
  }
  ascii[size] = '\0';
  std::fprintf(stderr, "%s: %s\n", HUSHLINK_MESSAGE_CAPTION, ascii);
}

}  // namespace

void displayMessageBox(const char* text) {
  try {
    // Plugin texts are stored in the GBK code page; desktops speak UTF-8.
    const std::string utf8 = converted(text, "GBK", "UTF-8");
    if (showInDialog(utf8)) return;
    std::fprintf(stderr, "%s: %s\n", HUSHLINK_MESSAGE_CAPTION, utf8.c_str());
  } catch (const std::bad_alloc&) {
    writeWithoutMemory(text);
  }
}

}  // namespace hushlink
