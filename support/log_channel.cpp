#include "support/log_channel.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "support/message_box.h"
#include "support/text_file.h"

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
  file = openTextFile(path, TextFileMode::Write);
  if (file == nullptr) return false;
  // Each line goes straight to the system in one write; nothing waits in the
  // stream, so a crash of the host never loses a line already logged.
  std::setvbuf(file, nullptr, _IONBF, 0);
  return true;
}

void LogChannel::close() {
  if (file == nullptr) return;
  std::fclose(file);
  file = nullptr;
}

void LogChannel::writeLine(const char* format, ...) {
  if (!isWriting()) return;
  std::va_list args;
  va_start(args, format);
  FormattedLine line(format, args);
  va_end(args);
  if (toFile) writeWholeLine(file, line.data(), line.sizeWithNewline());
  // Standard output is the host's: its buffering is left as the process set it.
  if (toConsole) std::fwrite(line.data(), 1, line.sizeWithNewline(), stdout);
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
