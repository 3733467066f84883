// The device search on Windows: the HID device interfaces through SetupDi
// and HidD, the first one with the reader's identity opened for overlapped
// reading and writing.
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <cstdlib>

#include "hid_search_win32.h"
#include "vantor/reader.h"

namespace vantor::os::win32 {
namespace {

class SystemApi : public HidApi {
 public:
  void* OpenDeviceSet() override {
    HidD_GetHidGuid(&guid_);
    HDEVINFO set = SetupDiGetClassDevsW(&guid_, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
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
    return SetupDiGetDeviceInterfaceDetailW(
               set, &interface_, static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail),
               size, nullptr, nullptr) != FALSE;
  }
  void* Allocate(std::size_t bytes) override { return std::malloc(bytes); }
  void Free(void* p) override { std::free(p); }
  HANDLE OpenPath(const wchar_t* path) override {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
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
  void Close(HANDLE device) override { ::CloseHandle(device); }

 private:
  GUID guid_{};
  SP_DEVICE_INTERFACE_DATA interface_{};
};

}  // namespace

HANDLE FindReader(HidApi& api) {
  void* set = api.OpenDeviceSet();
  if (set == nullptr) return INVALID_HANDLE_VALUE;
  HANDLE found = INVALID_HANDLE_VALUE;
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
    const std::size_t chars = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                              sizeof(wchar_t);
    detail->DevicePath[chars - 1] = L'\0';
    const HANDLE device = api.OpenPath(detail->DevicePath);
    api.Free(detail);
    if (device == INVALID_HANDLE_VALUE) {
      ++index;
      continue;
    }
    HidAttributes attributes;
    if (!api.GetAttributes(device, &attributes)) {
      api.Close(device);
      break;
    }
    if (attributes.vendor == VANTOR_VENDOR_ID && attributes.product == VANTOR_PRODUCT_ID &&
        attributes.version == VANTOR_VERSION) {
      found = device;
      break;
    }
    api.Close(device);
    ++index;
  }
  api.CloseDeviceSet(set);
  return found;
}

HANDLE FindAttachedReader() {
  SystemApi api;
  return FindReader(api);
}

}  // namespace vantor::os::win32
