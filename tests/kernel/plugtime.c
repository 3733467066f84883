/* The station check's timing (tests/kernel/station.sh), two halves:
 *
 * plugtime UDC CONTROLLER NODE binds a gadget (writes CONTROLLER to the
 * file UDC) and prints the moment NODE appears in its folder, in seconds of
 * CLOCK_MONOTONIC; exit 1 when it is there already or does not come
 * within 20 s.
 *
 * The same file built as a library and preloaded (LD_PRELOAD) into the
 * gadget's emulator writes the moment of its first read from a /dev/hidg
 * node, the first report the host sent, to the file VANTOR_FIRST_REPORT
 * names. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

static void PrintNow(FILE* out) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  fprintf(out, "%lld.%09ld\n", (long long)now.tv_sec, now.tv_nsec);
}

#ifdef PLUGTIME_PRELOAD
ssize_t read(int fd, void* buffer, size_t size) {
  static ssize_t (*real)(int, void*, size_t);
  static int noted;
  if (real == NULL) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const ssize_t got = real(fd, buffer, size);
  if (got > 0 && !noted) {
    char link[64], target[64] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (readlink(link, target, sizeof target - 1) > 0 && strncmp(target, "/dev/hidg", 9) == 0) {
      noted = 1;
      const char* path = getenv("VANTOR_FIRST_REPORT");
      FILE* out = path ? fopen(path, "w") : NULL;
      if (out) {
        PrintNow(out);
        fclose(out);
      }
    }
  }
  return got;
}
#else
int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: plugtime UDC CONTROLLER NODE\n");
    return 2;
  }
  char folderCopy[256], nameCopy[256];
  snprintf(folderCopy, sizeof folderCopy, "%s", argv[3]);
  snprintf(nameCopy, sizeof nameCopy, "%s", argv[3]);
  const char* folder = dirname(folderCopy);
  const char* name = basename(nameCopy);
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, folder, IN_CREATE | IN_MOVED_TO) < 0) {
    perror("plugtime: inotify");
    return 1;
  }
  if (access(argv[3], F_OK) == 0) {
    fprintf(stderr, "plugtime: %s is there before the plug\n", argv[3]);
    return 1;
  }
  const int udc = open(argv[1], O_WRONLY);
  if (udc < 0 || write(udc, argv[2], strlen(argv[2])) < 0) {
    perror("plugtime: bind");
    return 1;
  }
  close(udc);
  struct pollfd p = {watch, POLLIN, 0};
  while (poll(&p, 1, 20000) > 0) {
    char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    const ssize_t n = read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* event = (const struct inotify_event*)(buffer + at);
      if (event->len > 0 && strcmp(event->name, name) == 0) {
        PrintNow(stdout);
        return 0;
      }
      at += (ssize_t)(sizeof *event + event->len);
    }
  }
  fprintf(stderr, "plugtime: no %s within 20 s\n", argv[3]);
  return 1;
}
#endif
