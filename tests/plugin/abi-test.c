/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Resolves every entry point through the header's pointer types from plain C
 * and calls the ones that need no working directory. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "plugin/hushlink.h"

#define RESOLVE(type, name) ((type)dlsym(module, name))

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  static const char* const names[] = {"PS2EgetLibType", "PS2EgetLibName", "PS2EgetLibVersion2",
                                      "FWinit",         "FWshutdown",     "FWopen",
                                      "FWclose",        "FWread32",       "FWwrite32",
                                      "FWirqCallback",  "FWconfigure",    "FWtest",
                                      "FWabout"};
  int failures = 0;
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    if (dlsym(module, names[i]) == NULL) {
      fprintf(stderr, "missing %s\n", names[i]);
      ++failures;
    }
  }
  if (failures != 0) return 1;
  PS2EgetLibTypeFn getType = RESOLVE(PS2EgetLibTypeFn, "PS2EgetLibType");
  PS2EgetLibNameFn getName = RESOLVE(PS2EgetLibNameFn, "PS2EgetLibName");
  PS2EgetLibVersion2Fn getVersion = RESOLVE(PS2EgetLibVersion2Fn, "PS2EgetLibVersion2");
  FWtestFn test = RESOLVE(FWtestFn, "FWtest");
  FWread32Fn read32 = RESOLVE(FWread32Fn, "FWread32");
  if (getType() != 0x40) ++failures;
  if (strcmp(getName(), "Hushlink Driver") != 0) ++failures;
  if (getVersion(0) != 0x00020006u) ++failures;
  if (test() != 0) ++failures;
  if (read32(0x1F808410u) != 8) ++failures;
  if (read32(0x00008410u) != 0) ++failures; /* no store yet: reads 0 */
  dlclose(module);
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
