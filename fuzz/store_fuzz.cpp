// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as a sequence of entry-point calls, checked against a shadow
// model of the register store: a wrong value is a finding, not only a crash.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "host/system/scratch_directory.h"
#include "plugin/hushlink.h"

namespace {

constexpr std::uint32_t kFixed = 0x1F808410;
constexpr std::uint32_t kInteresting[] = {kFixed,     0x00008410, 0xFFFF8410, 0x0000FFFC,
                                          0x1F80FFFD, 0x0000FFFE, 0xFFFFFFFF, 0x00000000};

// The store as the host should see it: nothing before FWinit and after
// FWshutdown, zeroes after FWinit, 8 at the fixed address.
struct Model {
  std::optional<std::array<unsigned char, 0x10000>> store;

  std::uint32_t read(std::uint32_t address) const {
    if (address == kFixed) return 8;
    if (!store) return 0;
    std::uint32_t value = 0;
    const std::uint32_t offset = address & 0xFFFF;
    std::memcpy(&value, store->data() + offset, offset <= 0xFFFC ? 4 : 0x10000 - offset);
    return value;
  }
  void write(std::uint32_t address, std::uint32_t value) {
    if (!store) return;
    const std::uint32_t offset = address & 0xFFFF;
    std::memcpy(store->data() + offset, &value, offset <= 0xFFFC ? 4 : 0x10000 - offset);
  }
};

// Reads the input as it goes; past its end every byte is zero.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool done() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint32_t word() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return value;
  }
  std::uint32_t address() {
    const std::uint8_t kind = byte();
    if (kind < 0x40) return kInteresting[kind % std::size(kInteresting)];
    if (kind < 0x80) return (word() & 0xFFFF0000u) | (kind & 0x3F);  // a few busy words
    return word();
  }
};

[[noreturn]] void finding(const char* what, std::uint32_t address, std::uint32_t got,
                          std::uint32_t expected) {
  std::fprintf(stderr, "%s at 0x%x: got 0x%x, expected 0x%x\n", what, address, got, expected);
  std::abort();
}

void HUSHLINK_CALL interruptRaised() {
  std::fprintf(stderr, "the null device raised an interrupt\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Removed when the fuzzer exits, as it does at the end of its time.
  static hushlink::host::ScratchDirectory scratch("fuzz-store",
                                                  hushlink::host::ScratchDirectory::kBothFolders,
                                                  hushlink::host::memoryBackedTempFolder());
  scratch.enter();
  std::FILE* settings = std::fopen("inis/Hushlink.ini", "w");
  std::fputs("logging = 1\n", settings);
  std::fclose(settings);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Model model;
  Input input{data, size};
  FWshutdown();
  while (!input.done()) {
    switch (input.byte() % 10) {
      case 0:
        if (FWinit() != 0) finding("FWinit failed", 0, 1, 0);
        model.store.emplace();
        model.store->fill(0);
        break;
      case 1:
        FWshutdown();
        model.store.reset();
        break;
      case 2:
        if (FWopen(nullptr) != 0) finding("FWopen failed", 0, 1, 0);
        break;
      case 3:
        FWclose();
        break;
      case 4:
      case 5: {
        const std::uint32_t address = input.address();
        const std::uint32_t got = FWread32(address);
        if (got != model.read(address)) finding("read", address, got, model.read(address));
        break;
      }
      case 6:
      case 7: {
        const std::uint32_t address = input.address();
        const std::uint32_t value = input.word();
        FWwrite32(address, value);
        model.write(address, value);
        break;
      }
      case 8:
        if (input.byte() < 8) FWconfigure();  // it rewrites the settings file: keep it rare
        break;
      case 9:
        FWirqCallback(interruptRaised);
        if (FWtest() != 0 || PS2EgetLibType() != 0x40 ||
            PS2EgetLibVersion2(input.word()) != 0x00020006) {
          finding("identification", 0, 0, 0);
        }
        break;
    }
  }
  FWshutdown();
  return 0;
}
