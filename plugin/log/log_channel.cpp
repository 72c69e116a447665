// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/log/log_channel.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "plugin/log/log_output.h"
#include "plugin/message_box/message_box.h"

namespace hushlink {

LogChannel logChannel;

namespace {

constexpr std::size_t kAlertBufferSize = 256;

// A formatted line with its newline, on the stack unless it is unusually long.
class FormattedLine {
 public:
  FormattedLine(const char* format, std::va_list args) {
    std::va_list retry;
    va_copy(retry, args);
    const int length = std::vsnprintf(inline_, sizeof inline_ - 1, format, args);
    if (length < 0) {
      size_ = 0;
    } else if (static_cast<std::size_t>(length) < sizeof inline_ - 1) {
      size_ = static_cast<std::size_t>(length);
    } else {
      size_ = static_cast<std::size_t>(length);
      heap_ = static_cast<char*>(std::malloc(size_ + 2));
      if (heap_ != nullptr) {
        std::vsnprintf(heap_, size_ + 1, format, retry);
      } else {
        size_ = sizeof inline_ - 2;  // keep what fitted rather than nothing
      }
    }
    va_end(retry);
    char* text = data();
    text[size_] = '\n';
    text[size_ + 1] = '\0';
  }
  ~FormattedLine() { std::free(heap_); }
  FormattedLine(const FormattedLine&) = delete;
  FormattedLine& operator=(const FormattedLine&) = delete;

  char* data() { return heap_ != nullptr ? heap_ : inline_; }
  std::size_t sizeWithNewline() const { return size_ + 1; }

 private:
  char inline_[512];
  char* heap_ = nullptr;
  std::size_t size_;
};

}  // namespace

bool LogChannel::open(const char* path) {
  file = openLogFile(path);
  if (file == nullptr) return false;
  // Each line goes straight to the system in one write; nothing waits in the
  // stream, so a crash of the host never loses a line already logged.
  std::setvbuf(file, nullptr, _IONBF, 0);
  fileIsPipe = writesCanRaiseSigpipe(file);
  consoleIsPipe = writesCanRaiseSigpipe(stdout);
  fileBroken = consoleBroken = fileCut = false;
  return true;
}

void LogChannel::close() {
  if (file == nullptr) return;
  closeLogFile(file);
  file = nullptr;
}

void LogChannel::emitToFile(const char* line, std::size_t size) {
  // A line may be lost when the disk is full; it must never run on from the
  // piece of another, which would be a line the plugin never wrote.
  if (fileCut) {
    if (!endCutLine(file, fileIsPipe)) return;
    fileCut = false;
  }
  const LineWritten written = writeWholeLine(file, line, size, fileIsPipe);
  fileBroken = written.readerGone;
  // A line cut short is taken back at once, before anything else is
  // written, so the log holds whole lines only: a piece would read as a line
  // the plugin never wrote, and one cut inside its value as a wrong value.
  // Where it cannot be taken back, its piece is ended before the next line.
  fileCut = written.bytes > 0 && written.bytes < size && !takeBackCutLine(file, written);
}

void LogChannel::emit(const char* line, std::size_t size) {
  if (toFile && !fileBroken) emitToFile(line, size);
  if (toConsole && !consoleBroken) consoleBroken = !writeConsoleLine(line, size, consoleIsPipe);
}

void LogChannel::writeLine(const char* format, ...) {
  if (!isWriting()) return;
  std::va_list args;
  va_start(args, format);
  FormattedLine line(format, args);
  va_end(args);
  emit(line.data(), line.sizeWithNewline());
}

namespace {

// Lower-case hex without leading zeros, as "%x" prints it.
char* appendHex(char* out, std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char reversed[8];
  int count = 0;
  do {
    reversed[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) *out++ = reversed[--count];
  return out;
}

char* appendText(char* out, const char* text, std::size_t size) {
  std::memcpy(out, text, size);
  return out + size;
}

}  // namespace

void LogChannel::writeAccessLine(const char* text, std::uint32_t address, std::uint32_t value) {
  if (!isWriting()) return;
  const std::size_t textSize = std::strlen(text);
  char inlineLine[64];
  // "0x", 8 digits, ": 0x", 8 digits and the newline at most.
  const std::size_t capacity = textSize + 23;
  char* line =
      capacity <= sizeof inlineLine ? inlineLine : static_cast<char*>(std::malloc(capacity));
  if (line == nullptr) return;
  char* out = appendText(line, text, textSize);
  out = appendHex(appendText(out, "0x", 2), address);
  out = appendHex(appendText(out, ": 0x", 4), value);
  *out++ = '\n';
  emit(line, static_cast<std::size_t>(out - line));
  if (line != inlineLine) std::free(line);
}

void LogChannel::alert(const char* format, ...) {
  if (file == nullptr) return;
  char text[kAlertBufferSize];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  showMessage("%s", text);
}

}  // namespace hushlink
