/* Preloaded by the soak (LD_PRELOAD) into the program it watches: when the
 * program ends, every descriptor it has open that it did not have when it
 * started is written, one line each ("fd 4 -> /dev/hidraw0 (deleted)"), to
 * the file VANTOR_FDCHECK names. A program that closed what it opened leaves
 * the file empty. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { kMax = 1024 };
static int g_atStart[kMax];
static int g_atStartCount;

/* The open descriptors but the listing's own; how many (at most kMax). */
static int OpenNow(int* fds) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == NULL) return 0;
  for (struct dirent* entry; (entry = readdir(dir)) != NULL && count < kMax;) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] != '.' && fd != dirfd(dir)) fds[count++] = fd;
  }
  closedir(dir);
  return count;
}

__attribute__((constructor)) static void AtStart(void) { g_atStartCount = OpenNow(g_atStart); }

__attribute__((destructor)) static void AtEnd(void) {
  const char* path = getenv("VANTOR_FDCHECK");
  if (path == NULL || *path == '\0') return;
  int fds[kMax];
  const int count = OpenNow(fds); /* before the report's own file opens */
  FILE* out = fopen(path, "w");
  if (out == NULL) return;
  for (int i = 0; i < count; ++i) {
    int known = 0;
    for (int j = 0; j < g_atStartCount; ++j) known |= g_atStart[j] == fds[i];
    if (known) continue;
    char link[64], target[512];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fds[i]);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    fprintf(out, "fd %d -> %s\n", fds[i], target);
  }
  fclose(out);
}
