// The walk over the HID device interfaces that finds the reader on
// Windows. The system calls come in through HidApi so that tests can drive
// the walk with a made-up set of devices.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vantor::os::win32 {

struct HidAttributes {
  unsigned short vendor = 0;
  unsigned short product = 0;
  unsigned short version = 0;
};

// One call per step of the walk; every call reports failure with false (or
// INVALID_HANDLE_VALUE) and leaves its reason in GetLastError().
struct HidApi {
  virtual ~HidApi() = default;
  // The present devices with HID interfaces; nullptr when that fails.
  virtual void* OpenDeviceSet() = 0;
  virtual void CloseDeviceSet(void* set) = 0;
  // The interface at index; false with ERROR_NO_MORE_ITEMS past the last.
  virtual bool EnumInterface(void* set, unsigned long index) = 0;
  // The byte size of the interface's detail record (0 when unknown).
  virtual unsigned long DetailSize(void* set, unsigned long index) = 0;
  // Fills the detail record, whose size field the caller has set.
  virtual bool GetDetail(void* set, unsigned long index, void* detail, unsigned long size) = 0;
  virtual void* Allocate(std::size_t bytes) = 0;
  virtual void Free(void* p) = 0;
  virtual HANDLE OpenPath(const wchar_t* path) = 0;
  virtual bool GetAttributes(HANDLE device, HidAttributes* attributes) = 0;
  // The opened device's USB serial number string; false when it has none.
  virtual bool GetSerial(HANDLE device, std::wstring* serial) = 0;
  // The location path of the USB port of the interface whose detail was
  // read last (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)); empty when
  // the system knows none.
  virtual std::wstring UsbLocation(void* set, unsigned long index) = 0;
  virtual void Close(HANDLE device) = 0;
  // Takes the reader at path for this open: a handle that holds it until
  // Release, or nullptr when another open (of any program) holds it.
  virtual HANDLE Claim(const wchar_t* path) = 0;
  virtual void Release(HANDLE claim) = 0;
};

// Consecutive enumeration failures (other than the end of the list) at one
// index after which the walk gives up.
constexpr int kMaxEnumFailures = 8;

struct FoundReader {
  HANDLE device = INVALID_HANDLE_VALUE;
  HANDLE claim = nullptr;  // to be released when the device is closed
  std::wstring heldPath;   // without a device: a reader another open holds
};

// The first interface whose vendor, product and version are the reader's
// and that no other open holds, opened for reading and writing and
// claimed; no device when there is none or the walk had to stop early (a
// detail record or the attributes of an opened interface could not be
// read, or no memory for the detail record).
//
// A reader as the walk lists it.
struct ListedReader {
  std::wstring path;
  std::wstring serial;    // empty when it has none
  std::wstring location;  // UsbLocation
};

// With a SearchFor, the walk looks only at the reader at onlyPath (compared
// in any case), or, with every, lists every reader it can open instead (it
// then claims and hands back nothing).
struct SearchFor {
  const wchar_t* onlyPath = nullptr;
  std::vector<ListedReader>* every = nullptr;
};
FoundReader FindReader(HidApi& api, const SearchFor& what = {});

// The system's claim: a named mutex derived from the device path (in any
// case), held while the returned handle is open; nullptr when another open
// of any program holds it.
HANDLE ClaimReaderPath(const wchar_t* path);

// FindReader over the system's own SetupDi, HidD and claim calls.
FoundReader FindAttachedReader(const SearchFor& what = {});

}  // namespace vantor::os::win32
