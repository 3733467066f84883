/* A program that uses the reader library: prints the firmware version and
 * the name of the stored offline-data file.
 *   cc read_version.c -lvantorreader -o read_version
 */
#include <stdio.h>
#include <vantor/reader.h>

int main(void) {
  char version[VANTOR_ROOM_VERSION];
  char name[VANTOR_ROOM_NAME];
  unsigned int versionLength = 0, trailer = 0, nameLength = 0;
  int handle = DllOpenReader();
  if (handle == VANTOR_ERR_NO_READER) {
    fprintf(stderr, "no reader found\n");
    return 3;
  }
  int result = DllGetFirmwareVersion(handle, version, &versionLength, &trailer);
  if (result == VANTOR_OK) {
    printf("firmware: %.*s (trailer %04X)\n", (int)versionLength, version, trailer);
    result = DllGetOfflineFileName(handle, name, &nameLength);
  }
  if (result == VANTOR_OK) {
    if (nameLength) {
      printf("offline file: %.*s\n", (int)nameLength, name);
    } else {
      printf("no offline file\n");
    }
  }
  DllCloseReader(handle);
  if (result != VANTOR_OK) {
    fprintf(stderr, "reader error %d\n", result);
    return 1;
  }
  return 0;
}
