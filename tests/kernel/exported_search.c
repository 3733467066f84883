/* exported_search.exe PROGRAM: loads a Windows program or DLL that exports
 * the reader functions (VantorTool.exe, vantorreader.dll) and uses its copy
 * of them: open the first reader through its HID search, read the firmware
 * version, close. Exit 0 and the version on stdout, 1 on failure. */
#include <stdio.h>
#include <windows.h>

typedef int (*OpenFn)(void);
typedef int (*CloseFn)(int);
typedef int (*VersionFn)(int, char*, unsigned*, unsigned*);

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: exported_search PROGRAM\n");
    return 2;
  }
  HMODULE module = LoadLibraryA(argv[1]);
  if (!module) {
    fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  OpenFn open = (OpenFn)(void*)GetProcAddress(module, "DllOpenReader");
  CloseFn close = (CloseFn)(void*)GetProcAddress(module, "DllCloseReader");
  VersionFn version = (VersionFn)(void*)GetProcAddress(module, "DllGetFirmwareVersion");
  if (!open || !close || !version) {
    fprintf(stderr, "%s does not export the reader functions\n", argv[1]);
    return 1;
  }
  const int handle = open();
  if (handle == -2) {
    fprintf(stderr, "no reader found\n");
    return 1;
  }
  char text[276];
  unsigned length = 0, trailer = 0;
  const int result = version(handle, text, &length, &trailer);
  close(handle);
  if (result != 0) {
    fprintf(stderr, "firmware version: error %d\n", result);
    return 1;
  }
  printf("%.*s trailer %04X\n", (int)length, text, trailer);
  return 0;
}
