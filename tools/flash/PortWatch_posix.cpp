// Ports appearing on Linux: libudev's monitor reports tty devices added by
// the kernel, an inotify watch the links a simulator publishes. One thread
// blocks in poll() on both and on a pipe that wakes it to stop.

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "PortWatch.h"
#include "app/HostSystem.h"

namespace mx::flash {

namespace fs = std::filesystem;

struct PortWatch::Impl {
  Callback onAppeared;
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int inotifyFd = -1;
  std::string simulatorDirectory;
  int wakePipe[2] = {-1, -1};
  std::thread thread;

  ~Impl() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
    for (const int fd : {inotifyFd, wakePipe[0], wakePipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // No udev (a container without it) leaves the simulator's folder.
  void OpenUdevMonitor() {
    context = udev_new();
    if (context == nullptr) return;
    monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr) return;
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr);
    if (udev_monitor_enable_receiving(monitor) != 0) {
      udev_monitor_unref(monitor);
      monitor = nullptr;
    }
  }

  // The folder is made when missing, so that a simulator started later is seen.
  void WatchSimulatorFolder() {
    simulatorDirectory = SimulatorPortDirectory();
    std::error_code error;
    fs::create_directories(simulatorDirectory, error);
    inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotifyFd >= 0 && ::inotify_add_watch(inotifyFd, simulatorDirectory.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
      ::close(inotifyFd);
      inotifyFd = -1;
    }
  }

  // Only devices with a parent are ports of hardware; virtual consoles have none.
  void ReadUdevEvent() {
    udev_device* device = udev_monitor_receive_device(monitor);
    if (device == nullptr) return;
    const char* action = udev_device_get_action(device);
    const char* node = udev_device_get_devnode(device);
    if (action != nullptr && std::string_view(action) == "add" && node != nullptr &&
        udev_device_get_parent(device) != nullptr) {
      onAppeared(node);
    }
    udev_device_unref(device);
  }

  void ReadInotifyEvents() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
      const ssize_t length = ::read(inotifyFd, buffer.data(), buffer.size());
      if (length <= 0) return;
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
        // A simulator's lock file beside its link is no port.
        if (event->len > 0 && !std::string_view(event->name).ends_with(".lock")) {
          onAppeared((fs::path(simulatorDirectory) / event->name).lexically_normal().string());
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // Note: runs on the watch's thread.
  void Watch() {
    for (;;) {
      std::array<pollfd, 3> fds{{{wakePipe[0], POLLIN, 0},
                                 {monitor != nullptr ? udev_monitor_get_fd(monitor) : -1, POLLIN, 0},
                                 {inotifyFd, POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;  // nothing left to wait on
      }
      if (fds[0].revents != 0) return;
      if (fds[1].revents & POLLIN) ReadUdevEvent();
      if (fds[2].revents & POLLIN) ReadInotifyEvents();
    }
  }
};

PortWatch::PortWatch(Callback onAppeared) : impl_(std::make_unique<Impl>()) {
  impl_->onAppeared = std::move(onAppeared);
  impl_->OpenUdevMonitor();
  impl_->WatchSimulatorFolder();
  if (impl_->monitor == nullptr && impl_->inotifyFd < 0) throw std::runtime_error("cannot watch for serial ports");
  if (::pipe2(impl_->wakePipe, O_CLOEXEC) != 0) throw std::runtime_error("cannot watch for serial ports");
  impl_->thread = std::thread([impl = impl_.get()] { impl->Watch(); });
}

PortWatch::~PortWatch() {
  const char stop = 1;
  if (::write(impl_->wakePipe[1], &stop, 1) != 1) {
    // A pipe of one byte cannot be full; nothing else could fail here.
  }
  impl_->thread.join();
}

}  // namespace mx::flash
