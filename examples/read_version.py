#!/usr/bin/env python3
"""A Python program that uses the reader library through ctypes: prints the
firmware version and the name of the stored offline-data file, as
read_version.c does.
    python3 read_version.py [LIBRARY]
LIBRARY defaults to libvantorreader.so.1 (found as the system finds shared
libraries); on Windows pass the vantorreader.dll of Python's architecture.
"""
import ctypes
import sys

ROOM_VERSION = 276  # VANTOR_ROOM_VERSION
ROOM_NAME = 280  # VANTOR_ROOM_NAME
NO_READER = -2  # VANTOR_ERR_NO_READER


def main():
    lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libvantorreader.so.1")
    lib.DllOpenReader.restype = ctypes.c_int
    lib.DllOpenReader.argtypes = []
    lib.DllCloseReader.argtypes = [ctypes.c_int]
    uint_p = ctypes.POINTER(ctypes.c_uint)
    lib.DllGetFirmwareVersion.argtypes = [ctypes.c_int, ctypes.c_char_p, uint_p, uint_p]
    lib.DllGetOfflineFileName.argtypes = [ctypes.c_int, ctypes.c_char_p, uint_p]

    handle = lib.DllOpenReader()
    if handle == NO_READER:
        print("no reader found", file=sys.stderr)
        return 3
    version = ctypes.create_string_buffer(ROOM_VERSION)
    name = ctypes.create_string_buffer(ROOM_NAME)
    length, trailer, name_length = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
    try:
        result = lib.DllGetFirmwareVersion(handle, version, ctypes.byref(length), ctypes.byref(trailer))
        if result == 0:
            text = version.raw[: length.value].decode("latin-1")
            print(f"firmware: {text} (trailer {trailer.value:04X})")
            result = lib.DllGetOfflineFileName(handle, name, ctypes.byref(name_length))
        if result == 0:
            if name_length.value:
                print("offline file: " + name.raw[: name_length.value].decode("latin-1"))
            else:
                print("no offline file")
    finally:
        lib.DllCloseReader(handle)
    if result != 0:
        print(f"reader error {result}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
