/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A module whose file calls take 32-bit offsets, as the 32-bit build's would
 * without large-file support: the large-file check must name each call. */
#undef _FILE_OFFSET_BITS
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int rewriteLog(const char* path) {
  const int file = open(path, O_WRONLY);
  struct stat status;
  if (file < 0 || fstat(file, &status) != 0 || ftruncate(file, 0) != 0 ||
      pwrite(file, "x", 1, status.st_size) != 1) {
    return -1;
  }
  return close(file);
}
