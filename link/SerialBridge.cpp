#include "link/SerialBridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "link/PortHolders.h"

namespace irisdesk {
namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ')) value.pop_back();
  return value;
}

// False when the attribute cannot be written (no permission, device gone).
bool WriteAttribute(const std::string& file, const std::string& value) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);  // sysfs ignores the truncation
  if (fd < 0) return false;
  const bool written = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  ::close(fd);
  return written;
}

// ttyUSB10 sorts after ttyUSB2: compare the letters, then the number.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    const std::string digits = s.substr(i);
    return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits.substr(0, 9)));
  };
  return split(a) < split(b);
}

// The USB device above a tty's device: the first ancestor with an idVendor attribute.
std::optional<fs::path> UsbDeviceOf(const fs::path& ttyDevice, const fs::path& sysRoot) {
  std::error_code error;
  fs::path dir = fs::canonical(ttyDevice, error);
  if (error) return std::nullopt;
  const fs::path root = fs::canonical(sysRoot, error);
  for (; !dir.empty() && dir != dir.root_path() && dir != root; dir = dir.parent_path()) {
    if (fs::exists(dir / "idVendor", error)) return dir;
  }
  return std::nullopt;
}

speed_t SpeedFor(uint32_t baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
  }
}

// Whether `arg` names this port as a list showed it, in the way `flags` says.
bool Names(const SerialPortInfo& port, uint32_t flags, std::string_view arg) {
  const FT_DEVICE_LIST_INFO_NODE record;
  switch (flags) {
    case FT_OPEN_BY_DESCRIPTION: return ListedText(port.description, sizeof record.Description) == arg;
    case FT_OPEN_BY_SERIAL_NUMBER:
      return !port.serial.empty() && ListedText(port.serial, sizeof record.SerialNumber) == arg;
    case FT_OPEN_BY_PORT: return ListedText(port.devicePath, sizeof record.Port) == arg;
    default: return false;
  }
}

bool DeviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }

constexpr cc_t kReplyBytes = 16;  // one reply frame

}  // namespace

std::vector<SerialPortInfo> ListFtdiPorts(const std::string& sysRoot, const std::string& devRoot) {
  std::vector<std::pair<std::string, SerialPortInfo>> found;
  std::error_code error;
  const fs::path classDir = fs::path(sysRoot) / "class" / "tty";
  for (const auto& entry : fs::directory_iterator(classDir, error)) {
    const std::string name = entry.path().filename().string();
    const auto usb = UsbDeviceOf(entry.path() / "device", sysRoot);
    if (!usb || ReadAttribute(*usb / "idVendor") != kFtdiVendorId) continue;
    const fs::path latency = fs::canonical(entry.path() / "device", error) / "latency_timer";
    found.push_back({name,
                     {ReadAttribute(*usb / "product"), (fs::path(devRoot) / name).string(), usb->string(),
                      ReadAttribute(*usb / "serial"), !error && fs::exists(latency, error) ? latency.string() : ""}});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
  std::vector<SerialPortInfo> ports;
  for (auto& [name, info] : found) ports.push_back(std::move(info));
  return ports;
}

struct SerialBridge::Port {
  int fd = -1;
  bool exclusive = false;  // this descriptor set the tty's exclusive flag
  std::string latencyTimer;                       // the attribute's path; empty when none
  std::optional<std::string> latencyTimerFound;  // its value before we changed it
  ~Port() {
    if (latencyTimerFound) WriteAttribute(latencyTimer, *latencyTimerFound);
    if (fd < 0) return;
    // Exclusive use ends with us even when another descriptor keeps the tty open; a
    // flag somebody else set is theirs to clear.
    if (exclusive) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
  }
};

SerialBridge::SerialBridge(std::string sysRoot, std::string devRoot, std::string procRoot)
    : lister_([sys = std::move(sysRoot), dev = std::move(devRoot)] { return ListFtdiPorts(sys, dev); }),
      procRoot_(std::move(procRoot)) {}

SerialBridge::SerialBridge(PortLister lister, std::string procRoot)
    : lister_(std::move(lister)), procRoot_(std::move(procRoot)) {}

SerialBridge::~SerialBridge() = default;

int SerialBridge::FdOf(FT_HANDLE handle) {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle);
  return it == open_.end() ? -1 : it->second->fd;
}

FT_STATUS SerialBridge::FT_CreateDeviceInfoList(uint32_t* count) {
  if (!count) return FT_INVALID_PARAMETER;
  auto ports = lister_();
  std::lock_guard lock(mutex_);
  listed_ = std::move(ports);
  *count = static_cast<uint32_t>(listed_.size());
  return FT_OK;
}

FT_STATUS SerialBridge::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) {
  if (!list || !count) return FT_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  const uint32_t n = std::min<uint32_t>(*count, static_cast<uint32_t>(listed_.size()));
  for (uint32_t i = 0; i < n; ++i) {
    list[i] = FT_DEVICE_LIST_INFO_NODE{};
    CopyListedText(listed_[i].description, list[i].Description);
    CopyListedText(listed_[i].serial, list[i].SerialNumber);
    CopyListedText(listed_[i].devicePath, list[i].Port);
  }
  *count = n;
  return FT_OK;
}

FT_STATUS SerialBridge::FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
  if (!handle) return FT_INVALID_PARAMETER;
  *handle = nullptr;
  if (!arg) return FT_DEVICE_NOT_FOUND;
  // Looked up now, not in the last list: a replug since may have renumbered the ttys.
  std::optional<SerialPortInfo> found;
  for (auto& p : lister_()) {
    if (Names(p, flags, arg)) {
      found = std::move(p);
      break;
    }
  }
  if (!found) return FT_DEVICE_NOT_FOUND;
  const std::string& path = found->devicePath;
  // A program that holds the tty without locking it (a terminal program) would eat the
  // replies: refuse, before opening disturbs the line.
  if (!FindPortHolders(procRoot_, path, ::getpid()).empty()) return FT_DEVICE_NOT_OPENED;

  auto port = std::make_unique<Port>();
  port->latencyTimer = found->latencyTimer;
  // Non-blocking, so neither a busy line nor a missing carrier can hang the panel.
  port->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) return FT_DEVICE_NOT_OPENED;
  // One program at a time: another holder of the port makes this open fail. Root
  // passes the exclusive flag, so a flag already set is somebody else's hold too.
  int heldExclusive = 0;
  if (::flock(port->fd, LOCK_EX | LOCK_NB) != 0 ||
      (::ioctl(port->fd, TIOCGEXCL, &heldExclusive) == 0 && heldExclusive != 0))
    return FT_DEVICE_NOT_OPENED;
  if (::ioctl(port->fd, TIOCEXCL) != 0) return FT_DEVICE_NOT_OPENED;
  port->exclusive = true;
  termios tio{};
  if (::tcgetattr(port->fd, &tio) != 0) return FT_DEVICE_NOT_OPENED;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // poll() wakes the reply wait only once a whole reply has arrived (the line
  // discipline's minimum count), however the bytes come; reads stay non-blocking and
  // take what is there.
  tio.c_cc[VMIN] = kReplyBytes;
  tio.c_cc[VTIME] = 0;
  ::cfsetspeed(&tio, B19200);
  if (::tcsetattr(port->fd, TCSANOW, &tio) != 0) return FT_DEVICE_NOT_OPENED;
  ::tcflush(port->fd, TCIOFLUSH);

  *handle = port.get();
  std::lock_guard lock(mutex_);
  open_[*handle] = std::move(port);
  return FT_OK;
}

FT_STATUS SerialBridge::FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  const speed_t speed = SpeedFor(baud);
  termios tio{};
  if (speed == 0) return FT_INVALID_PARAMETER;
  if (::tcgetattr(fd, &tio) != 0) return FT_IO_ERROR;
  ::cfsetspeed(&tio, speed);
  return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SerialBridge::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                                  uint8_t parity) {
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  if (wordLength != FT_BITS_8 || stopBits != FT_STOP_BITS_1 || parity != FT_PARITY_NONE) return FT_INVALID_PARAMETER;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return FT_IO_ERROR;
  tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB)) | CS8;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SerialBridge::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  const int which = (mask & FT_PURGE_RX) && (mask & FT_PURGE_TX) ? TCIOFLUSH : (mask & FT_PURGE_RX) ? TCIFLUSH : TCOFLUSH;
  return ::tcflush(fd, which) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SerialBridge::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) {
  if (written) *written = 0;
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  // A hung-up line (device unplugged, other end closed) is a lost device.
  pollfd check{fd, POLLOUT, 0};
  if (::poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL))) return FT_IO_ERROR;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  int stalls = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && stalls++ < 5) {
      pollfd out{fd, POLLOUT, 0};
      ::poll(&out, 1, 20);  // the driver's buffer is full: give it a moment, not forever
      continue;
    }
    if (written) *written = done;
    return (n < 0 && DeviceGone(errno)) ? FT_IO_ERROR : FT_OTHER_ERROR;
  }
  if (written) *written = done;
  return FT_OK;
}

FT_STATUS SerialBridge::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
  if (!waiting) return FT_INVALID_PARAMETER;
  *waiting = 0;
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return DeviceGone(errno) ? FT_IO_ERROR : FT_OTHER_ERROR;
  *waiting = static_cast<uint32_t>(std::max(n, 0));
  return FT_OK;
}

FT_STATUS SerialBridge::FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) {
  if (read) *read = 0;
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && done == 0)
      return DeviceGone(errno) ? FT_IO_ERROR : FT_OTHER_ERROR;
    break;  // nothing more waiting
  }
  if (read) *read = done;
  return FT_OK;
}

FT_STATUS SerialBridge::FT_Close(FT_HANDLE handle) {
  std::unique_ptr<Port> port;
  {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(handle);
    if (it == open_.end()) return FT_INVALID_HANDLE;
    port = std::move(it->second);
    open_.erase(it);
  }
  return FT_OK;  // the descriptor closes with `port`
}

FT_STATUS SerialBridge::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle);
  if (it == open_.end()) return FT_INVALID_HANDLE;
  Port& port = *it->second;
  if (port.latencyTimer.empty()) return FT_NOT_SUPPORTED;
  const std::string before = ReadAttribute(port.latencyTimer);
  const std::string wanted = std::to_string(milliseconds);
  if (before == wanted) return FT_OK;
  if (!WriteAttribute(port.latencyTimer, wanted)) return FT_OTHER_ERROR;  // the udev rule's job, then
  if (!port.latencyTimerFound) port.latencyTimerFound = before;
  return FT_OK;
}

FT_STATUS SerialBridge::WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) {
  const int fd = FdOf(handle);
  if (fd < 0) return FT_INVALID_HANDLE;
  int waiting = 0;
  ::ioctl(fd, FIONREAD, &waiting);
  if (waiting > kReplyBytes) {
    // More than a frame can only end the window as a miss, and keeps the descriptor
    // readable: sleep it out.
    std::this_thread::sleep_for(timeout);
    return FT_OK;
  }
  // Asleep in the kernel until the frame's last byte (the minimum count set at open).
  pollfd in{fd, POLLIN, 0};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
  ::ppoll(&in, 1, &limit, nullptr);
  // A hung-up line (unplugged) has nothing more to say.
  return (in.revents & (POLLHUP | POLLERR | POLLNVAL)) ? FT_IO_ERROR : FT_OK;
}

}  // namespace irisdesk
