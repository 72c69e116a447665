/* SPDX-License-Identifier: GPL-2.0-or-later */
/* call-entry-point MODULE NAME: loads a plugin module and calls one of its
 * entry points that take and return nothing (FWabout, FWconfigure, ...),
 * then says so. Lets a test watch what the call does from outside. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: call-entry-point MODULE NAME\n");
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  void (*entryPoint)(void) = (void (*)(void))dlsym(module, argv[2]);
  if (entryPoint == NULL) {
    fprintf(stderr, "no entry point %s\n", argv[2]);
    return 1;
  }
  entryPoint();
  printf("%s returned\n", argv[2]);
  dlclose(module);
  return 0;
}
