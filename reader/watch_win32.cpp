// Readers coming and going on Windows. The attached readers: arrival and
// removal notices for the HID device interfaces (RegisterDeviceNotification
// on a message-only window, on a thread of its own), each answered by the
// device search and a comparison with the readers known. The emulated
// readers' folders are listed every 150 ms: a file that appears or goes
// is seen within that.
#include <windows.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
}

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "os_error.h"
#include "readers.h"
#include "watch.h"
#include "watch_common.h"

namespace vantor {
namespace {

using watch::Deadline;

constexpr int kListEveryMs = 150;

// The emulated readers, each folder listed again every kListEveryMs.
class FolderWatch : public watch::SimWatch {
 public:
  explicit FolderWatch(const std::vector<std::string>& entries) : SimWatch(entries) {}

 private:
  bool Changes(const Deadline& deadline, std::size_t before, std::vector<PlugEvent>* events,
               std::string* failure) override {
    for (;;) {
      const int left = deadline.LeftMs();
      ::Sleep(static_cast<DWORD>(left < kListEveryMs ? left : kListEveryMs));
      for (std::size_t i = 0; i < readers_.FolderCount(); ++i) {
        if (!readers_.Relist(i, events, failure)) return false;
      }
      if (events->size() != before || deadline.LeftMs() == 0) return true;
    }
  }
};

// The attached readers: a thread owns a message-only window that receives
// the HID interfaces' arrival and removal notices and flags each one; a
// Wait that finds the flag set runs the device search.
class DeviceWatch : public watch::WatchBase {
 public:
  ~DeviceWatch() override {  // Begin has waited for the thread's window
    if (window_) ::PostMessageW(window_, WM_CLOSE, 0, 0);
    if (thread_.joinable()) thread_.join();
  }

  bool Begin(std::string* error) {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return window_ != nullptr || !threadError_.empty(); });
    if (window_ == nullptr) *error = threadError_;
    return window_ != nullptr;
  }

 private:
  bool Start(std::vector<PlugEvent>* events, std::string*) override {
    watch::ListAttached(&present_, events);
    return true;
  }

  bool Changes(const Deadline& deadline, std::size_t before, std::vector<PlugEvent>* events,
               std::string*) override {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, std::chrono::milliseconds(deadline.LeftMs()),
                        [this] { return changed_; });
        if (!changed_) return true;
        changed_ = false;
      }
      watch::ListAttached(&present_, events);
      if (events->size() != before || deadline.LeftMs() == 0) return true;
    }
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
      auto* self = reinterpret_cast<DeviceWatch*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      if (self) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->changed_ = true;
        self->ready_.notify_all();
      }
      return TRUE;
    }
    if (message == WM_CLOSE) {
      ::DestroyWindow(window);
      return 0;
    }
    if (message == WM_DESTROY) {
      ::PostQuitMessage(0);
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }

  void Run() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"VantorReaderWatch";
    ::RegisterClassExW(&windowClass);  // already registered by an earlier watch: fine
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, instance, nullptr);
    HDEVNOTIFY notify = nullptr;
    DWORD failure = ::GetLastError();
    if (window) {
      ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      HidD_GetHidGuid(&filter.dbcc_classguid);
      notify = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      failure = ::GetLastError();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (notify) {
        window_ = window;
      } else {
        threadError_ =
            "cannot watch the attached readers: " + text::OsErrorText(static_cast<int>(failure));
      }
      ready_.notify_all();
    }
    if (!notify) {
      if (window) ::DestroyWindow(window);
      return;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    ::UnregisterDeviceNotification(notify);
  }

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  HWND window_ = nullptr;    // once the thread has made it
  std::string threadError_;  // or why it could not
  bool changed_ = false;     // a notice came since the last search
  watch::Present present_;
};

}  // namespace

std::unique_ptr<ReaderWatch> WatchReaders(std::string* error) {
  std::vector<std::string> entries;
  if (EmulatedEntries(&entries)) return std::make_unique<FolderWatch>(entries);
  auto devices = std::make_unique<DeviceWatch>();
  if (!devices->Begin(error)) return nullptr;
  return devices;
}

}  // namespace vantor
