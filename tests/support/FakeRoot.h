#pragma once
// A fake machine under a temporary folder: sys/ laid out as the kernel lays out USB
// devices and their ttys, dev/ nodes, proc/ processes with open files, etc/ files.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/PanelHarness.h"

namespace irisdesk::test {

class FakeRoot {
 public:
  using path = std::filesystem::path;
  const path& root() const { return dir_.path(); }
  path sys() const { return root() / "sys"; }

  // A USB device on the bus; returns its sysfs folder.
  path AddUsbDevice(const std::string& name, const std::string& vendor, const std::string& product,
                    const std::optional<std::string>& productName) {
    const path device = sys() / "devices/pci0000:00/usb1" / name;
    std::filesystem::create_directories(device);
    WriteFile(device / "idVendor", vendor + "\n");
    WriteFile(device / "idProduct", product + "\n");
    WriteFile(device / "busnum", "1\n");
    WriteFile(device / "devnum", std::to_string(++devices_ + 1) + "\n");
    if (productName) WriteFile(device / "product", *productName + "\n");
    Link(sys() / "bus/usb/devices" / name, device);
    return device;
  }
  // An interface of the device held by `driver`, with `tty` below it if given.
  void BindInterface(const std::string& device, const std::string& driver, const std::string& tty = "") {
    const path usb = sys() / "devices/pci0000:00/usb1" / device;
    const path iface = usb / (device + ":1.0");
    std::filesystem::create_directories(iface);
    if (!driver.empty()) Link(iface / "driver", sys() / "bus/usb/drivers" / driver);
    if (tty.empty()) return;
    std::filesystem::create_directories(iface / tty);
    Link(sys() / "class/tty" / tty / "device", iface / tty);
  }
  // An FTDI (or other) bridge with its tty; vendor "" is a built-in UART.
  void AddTty(const std::string& tty, const std::string& vendor, const std::optional<std::string>& product) {
    if (vendor.empty()) {
      const path device = sys() / "devices/platform/serial8250" / tty;
      std::filesystem::create_directories(device);
      Link(sys() / "class/tty" / tty / "device", device);
      return;
    }
    const std::string name = "1-" + std::to_string(devices_ + 1);
    AddUsbDevice(name, vendor, "6001", product);
    BindInterface(name, "ftdi_sio", tty);
  }
  void AddVirtualTty(const std::string& tty) { std::filesystem::create_directories(sys() / "class/tty" / tty); }

  // dev/<tty> as a file with this mode and group, or as a link to a real tty.
  void AddNode(const std::string& tty, mode_t mode, gid_t group) {
    WriteAt("dev/" + tty, "");
    ::chmod((root() / "dev" / tty).c_str(), mode);
    [[maybe_unused]] const int r = ::chown((root() / "dev" / tty).c_str(), 0, group);
  }
  void LinkNode(const std::string& tty, const path& target) { Link(root() / "dev" / tty, target); }

  // A process with these files open.
  void AddProcess(int pid, const std::string& name, const std::vector<path>& open) {
    const path dir = root() / "proc" / std::to_string(pid);
    WriteAt("proc/" + std::to_string(pid) + "/comm", name + "\n");
    std::filesystem::create_directories(dir / "fd");
    for (size_t i = 0; i < open.size(); ++i) std::filesystem::create_symlink(open[i], dir / "fd" / std::to_string(i + 3));
  }

  void WriteAt(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories((root() / relative).parent_path());
    WriteFile(root() / relative, text);
  }
  static void Link(const path& at, const path& target) {
    std::filesystem::create_directories(at.parent_path());
    std::filesystem::create_symlink(target, at);
  }

 private:
  TempDir dir_;
  int devices_ = 0;
};

}  // namespace irisdesk::test
