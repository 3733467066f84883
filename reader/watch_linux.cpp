// Readers coming and going on Linux. The attached readers: a udev monitor
// on the hidraw subsystem, each node that comes checked against the
// reader's identity as the listing checks it (discovery_linux.cpp). When
// udevd runs (/run/udev/control exists) the monitor hears udevd, so a node
// is announced once its rules have given it its group and mode; without
// udevd (a small system, the kernel bench's machine) it hears the kernel.
// The emulated readers' folders: inotify.
#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>

#include "discovery.h"
#include "os_error.h"
#include "readers.h"
#include "watch.h"
#include "watch_common.h"

namespace vantor {
namespace {

using watch::Deadline;

// Waits up to timeoutMs for fd to be readable; false on a time-out, with
// *error set (and errno's text) when poll itself failed.
bool Readable(int fd, int timeoutMs, int* error) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  *error = ready < 0 ? errno : 0;
  return ready > 0;
}

// The emulated readers, each folder watched by inotify.
class FolderWatch : public watch::SimWatch {
 public:
  explicit FolderWatch(const std::vector<std::string>& entries) : SimWatch(entries) {}
  ~FolderWatch() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // The folders are watched before they are first listed, so nothing that
  // happens in between is missed (and what both see is reported once).
  bool Begin(std::string* error) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      *error = "cannot watch the emulated readers' folders: " + text::OsErrorText(errno);
      return false;
    }
    constexpr std::uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE |
                                    IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    for (std::size_t i = 0; i < readers_.FolderCount(); ++i) {
      const int wd = ::inotify_add_watch(fd_, readers_.Folder(i).c_str(), kMask);
      if (wd < 0) {
        *error =
            watch::FolderError(readers_.Folder(i), "cannot watch it: " + text::OsErrorText(errno));
        return false;
      }
      folderOf_[wd] = i;
    }
    return true;
  }

 private:
  bool Changes(const Deadline& deadline, std::size_t before, std::vector<PlugEvent>* events,
               std::string* failure) override {
    for (;;) {
      int pollError = 0;
      if (!Readable(fd_, deadline.LeftMs(), &pollError)) {
        if (pollError == 0) return true;
        *failure = "cannot watch the emulated readers' folders: " + text::OsErrorText(pollError);
        return false;
      }
      if (!Drain(events, failure)) return false;
      if (events->size() != before || deadline.LeftMs() == 0) return true;
    }
  }

  // Reads every notice queued; false when a folder went.
  bool Drain(std::vector<PlugEvent>* events, std::string* failure) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return true;  // EAGAIN: all read
      for (ssize_t at = 0; at < n;) {
        const auto* notice = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + notice->len);
        if (!Handle(*notice, events, failure)) return false;
      }
    }
  }

  bool Handle(const inotify_event& notice, std::vector<PlugEvent>* events, std::string* failure) {
    if (notice.mask & IN_Q_OVERFLOW) {  // notices were lost: list every folder again
      for (std::size_t i = 0; i < readers_.FolderCount(); ++i) {
        if (!readers_.Relist(i, events, failure)) return false;
      }
      return true;
    }
    const auto folder = folderOf_.find(notice.wd);
    if (folder == folderOf_.end()) return true;
    const std::size_t i = folder->second;
    const char* reason = notice.mask & IN_DELETE_SELF ? "it was deleted"
                         : notice.mask & IN_MOVE_SELF ? "it was moved or renamed"
                         : notice.mask & IN_UNMOUNT   ? "its file system was unmounted"
                         : notice.mask & IN_IGNORED   ? "it is no longer watched"
                                                      : nullptr;
    if (reason) {
      *failure = watch::FolderError(readers_.Folder(i), reason);
      return false;
    }
    if (notice.len == 0 || (notice.mask & IN_ISDIR)) return true;
    const std::string name(notice.name);
    if (notice.mask & IN_MOVED_FROM) {
      tempMoved_ = notice.cookie;
      tempName_ = name;
    }
    if (notice.mask & (IN_DELETE | IN_MOVED_FROM)) {
      readers_.Went(i, name, events);
    } else if (!WrittenBack(notice, name) &&
               !BeingWritten(notice, readers_.Folder(i) + "/" + name)) {
      readers_.Appeared(i, name, events);
    }
    return true;
  }

  // Whether the notice is a file just made that its writer still holds
  // open: it is plugged in when the writer closes it (IN_CLOSE_WRITE), not
  // half written. A link made to a file is there at once.
  static bool BeingWritten(const inotify_event& notice, const std::string& path) {
    struct stat info {};
    return (notice.mask & IN_CREATE) && ::lstat(path.c_str(), &info) == 0 &&
           S_ISREG(info.st_mode) && info.st_nlink == 1;
  }

  // Whether the notice is the emulator writing a state file back as its
  // link closes: the rename of NAME.tmpDIGITS onto NAME (the kernel queues
  // the two halves of a rename one after the other). That is never a plug,
  // also when the file was removed while the link was open: the reader was
  // pulled, and its emulator's last write does not plug it back in.
  bool WrittenBack(const inotify_event& notice, const std::string& name) const {
    return (notice.mask & IN_MOVED_TO) && notice.cookie == tempMoved_ &&
           tempName_.size() > name.size() + 4 && tempName_.compare(0, name.size(), name) == 0 &&
           tempName_.compare(name.size(), 4, ".tmp") == 0;
  }

  int fd_ = -1;
  std::map<int, std::size_t> folderOf_;  // watch descriptor -> folder
  std::uint32_t tempMoved_ = 0;          // the last rename out of a name, and that name
  std::string tempName_;
};

// The attached readers, through a udev monitor.
class DeviceWatch : public watch::WatchBase {
 public:
  ~DeviceWatch() override {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
  }

  bool Begin(std::string* error) {
    udev_ = udev_new();
    const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, source);
    if (!monitor_ ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      *error = std::string("cannot watch the attached readers (udev monitor): ") +
               text::OsErrorText(errno);
      return false;
    }
    // Room for a burst of plugs (a hub full of readers, or one flapping)
    // while the station is busy; beyond it the list is read again.
    udev_monitor_set_receive_buffer_size(monitor_, 4 * 1024 * 1024);
    return true;
  }

 private:
  bool Start(std::vector<PlugEvent>* events, std::string*) override {
    watch::ListAttached(&present_, events);
    return true;
  }

  bool Changes(const Deadline& deadline, std::size_t before, std::vector<PlugEvent>* events,
               std::string* failure) override {
    for (;;) {
      int pollError = 0;
      if (!Readable(udev_monitor_get_fd(monitor_), deadline.LeftMs(), &pollError)) {
        if (pollError == 0) return true;
        *failure = "cannot watch the attached readers: " + text::OsErrorText(pollError);
        return false;
      }
      Drain(events);
      if (events->size() != before || deadline.LeftMs() == 0) return true;
    }
  }

  void Drain(std::vector<PlugEvent>* events) {
    for (;;) {
      errno = 0;
      udev_device* device = udev_monitor_receive_device(monitor_);
      if (!device) {
        if (errno == ENOBUFS) {  // announcements were lost
          watch::ListAttached(&present_, events);
          continue;
        }
        return;  // none left (or one not for us)
      }
      const char* action = udev_device_get_action(device);
      const char* name = udev_device_get_sysname(device);
      if (action && name) {
        // The node the kernel names, as the listing names it.
        const std::string path = std::string(kDevRoot) + "/" + name;
        HidrawNode node;
        if (std::string(action) == "remove") {
          present_.Remove(path, events);
        } else if (std::string(action) == "add" && !present_.Has(path) &&
                   ReadHidrawNode(kSysHidrawRoot, kDevRoot, name, false, &node) && node.isReader) {
          present_.Add(node.devicePath, events);
        }
      }
      udev_device_unref(device);
    }
  }

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  watch::Present present_;
};

}  // namespace

std::unique_ptr<ReaderWatch> WatchReaders(std::string* error) {
  std::vector<std::string> entries;
  if (EmulatedEntries(&entries)) {
    auto folders = std::make_unique<FolderWatch>(entries);
    if (!folders->Begin(error)) return nullptr;
    return folders;
  }
  auto devices = std::make_unique<DeviceWatch>();
  if (!devices->Begin(error)) return nullptr;
  return devices;
}

}  // namespace vantor
