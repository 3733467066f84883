// The device search on Windows: the HID device interfaces through SetupDi
// and HidD, the first one with the reader's identity opened for overlapped
// reading and writing.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <string>
#include <utility>

#include "hid_search_win32.h"
#include "vantor/reader.h"

namespace vantor::os::win32 {
namespace {

class SystemApi : public HidApi {
 public:
  void* OpenDeviceSet() override {
    HidD_GetHidGuid(&guid_);
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set == INVALID_HANDLE_VALUE ? nullptr : set;
  }
  void CloseDeviceSet(void* set) override { SetupDiDestroyDeviceInfoList(set); }
  bool EnumInterface(void* set, unsigned long index) override {
    interface_ = SP_DEVICE_INTERFACE_DATA{};
    interface_.cbSize = sizeof interface_;
    return SetupDiEnumDeviceInterfaces(set, nullptr, &guid_, index, &interface_) != FALSE;
  }
  unsigned long DetailSize(void* set, unsigned long) override {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interface_, nullptr, 0, &size, nullptr);
    return size;
  }
  bool GetDetail(void* set, unsigned long, void* detail, unsigned long size) override {
    device_ = SP_DEVINFO_DATA{};
    device_.cbSize = sizeof device_;
    return SetupDiGetDeviceInterfaceDetailW(set, &interface_,
                                            static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail),
                                            size, nullptr, &device_) != FALSE;
  }
  void* Allocate(std::size_t bytes) override { return std::malloc(bytes); }
  void Free(void* p) override { std::free(p); }
  HANDLE OpenPath(const wchar_t* path) override {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  bool GetAttributes(HANDLE device, HidAttributes* attributes) override {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!HidD_GetAttributes(device, &a)) return false;
    attributes->vendor = a.VendorID;
    attributes->product = a.ProductID;
    attributes->version = a.VersionNumber;
    return true;
  }
  bool GetSerial(HANDLE device, std::wstring* serial) override {
    // A USB string holds at most 126 characters.
    wchar_t text[128] = {};
    if (!HidD_GetSerialNumberString(device, text, sizeof text - sizeof text[0])) return false;
    *serial = text;
    return !serial->empty();
  }
  // The HID device's own node has no location path; its parent, the USB
  // device, has one (for an interface of a composite device, the path ends
  // in #USBMI(n) below the port's).
  std::wstring UsbLocation(void*, unsigned long) override {
    DEVINST node = device_.DevInst;
    for (int depth = 0; depth < 3 && CM_Get_Parent(&node, node, 0) == CR_SUCCESS; ++depth) {
      wchar_t paths[512] = {};  // several paths, each ending with L'\0'
      ULONG size = sizeof paths - 2 * sizeof paths[0];
      if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, nullptr, paths, &size,
                                            0) != CR_SUCCESS ||
          paths[0] == L'\0') {
        continue;
      }
      std::wstring first = paths;
      const std::size_t composite = first.rfind(L"#USBMI(");
      if (composite != std::wstring::npos) first.erase(composite);
      return first;
    }
    return {};
  }
  void Close(HANDLE device) override { ::CloseHandle(device); }
  HANDLE Claim(const wchar_t* path) override { return ClaimReaderPath(path); }
  void Release(HANDLE claim) override { ::CloseHandle(claim); }

 private:
  GUID guid_{};
  SP_DEVICE_INTERFACE_DATA interface_{};
  SP_DEVINFO_DATA device_{};  // the device of interface_, after GetDetail
};

// Global\vantor-reader-<FNV-1a of the path in lower case>: device paths
// are case-blind, and a name may not hold further backslashes.
std::wstring ClaimName(const wchar_t* path) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const wchar_t* p = path; *p; ++p) {
    hash = (hash ^ static_cast<std::uint16_t>(std::towlower(*p))) * 1099511628211ull;
  }
  wchar_t name[64];
  std::swprintf(name, sizeof name / sizeof name[0], L"Global\\vantor-reader-%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

// The mutex exists while any program has a handle to it; whoever creates
// it holds the reader. Ownership is not used: it belongs to a thread, and
// a reader may be closed on another thread than the one that opened it.
HANDLE ClaimReaderPath(const wchar_t* path) {
  HANDLE mutex = nullptr;
  try {
    mutex = CreateMutexW(nullptr, FALSE, ClaimName(path).c_str());
  } catch (const std::exception&) {
    return nullptr;
  }
  if (mutex == nullptr) return nullptr;  // also one another user made
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}

FoundReader FindReader(HidApi& api, const SearchFor& what) {
  FoundReader found;
  void* set = api.OpenDeviceSet();
  if (set == nullptr) return found;
  unsigned long index = 0;
  int failures = 0;
  for (;;) {
    if (!api.EnumInterface(set, index)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS || ++failures >= kMaxEnumFailures) break;
      continue;  // the same index again
    }
    failures = 0;
    // The record is never smaller than its fixed part, whose size field
    // is written before the call.
    const unsigned long reported = api.DetailSize(set, index);
    const unsigned long size = reported < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                   ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                   : reported;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(api.Allocate(size));
    if (detail == nullptr) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!api.GetDetail(set, index, detail, size)) {
      api.Free(detail);
      break;
    }
    // The path is used only if the record holds its terminator.
    const std::size_t chars =
        (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    detail->DevicePath[chars - 1] = L'\0';
    const HANDLE device = api.OpenPath(detail->DevicePath);
    if (device == INVALID_HANDLE_VALUE) {
      api.Free(detail);
      ++index;
      continue;
    }
    HidAttributes attributes;
    if (!api.GetAttributes(device, &attributes)) {
      api.Free(detail);
      api.Close(device);
      break;
    }
    bool isReader = attributes.vendor == VANTOR_VENDOR_ID &&
                    attributes.product == VANTOR_PRODUCT_ID && attributes.version == VANTOR_VERSION;
    if (what.onlyPath && _wcsicmp(detail->DevicePath, what.onlyPath) != 0) isReader = false;
    if (isReader && what.every) {
      try {
        ListedReader listed{detail->DevicePath, {}, api.UsbLocation(set, index)};
        if (!api.GetSerial(device, &listed.serial)) listed.serial.clear();
        what.every->push_back(std::move(listed));
      } catch (const std::exception&) {
        // A listing short of memory lists less.
      }
      isReader = false;
    }
    const HANDLE claim = isReader ? api.Claim(detail->DevicePath) : nullptr;
    if (isReader && claim == nullptr && found.heldPath.empty()) {
      try {
        found.heldPath = detail->DevicePath;
      } catch (const std::exception&) {
        // Only the message loses the name.
      }
    }
    api.Free(detail);
    if (claim != nullptr) {
      found.device = device;
      found.claim = claim;
      break;
    }
    api.Close(device);
    ++index;
  }
  api.CloseDeviceSet(set);
  if (found.device != INVALID_HANDLE_VALUE) found.heldPath.clear();
  return found;
}

FoundReader FindAttachedReader(const SearchFor& what) {
  SystemApi api;
  return FindReader(api, what);
}

}  // namespace vantor::os::win32
