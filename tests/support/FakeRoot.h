#pragma once
// A fake machine under a temporary folder: sys/ laid out as the kernel lays out USB
// devices and their ttys, dev/ nodes, proc/ processes with open files, etc/ files.
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "support/PanelHarness.h"

namespace irisdesk::test {

class FakeRoot {
 public:
  using path = std::filesystem::path;
  const path& root() const { return dir_.path(); }
  path sys() const { return root() / "sys"; }

  // A USB device on bus 1, numbered in the order added; `product` and `serial` null for none.
  void AddUsbDevice(const std::string& name, const std::string& vendor, const std::string& id, const char* product,
                    const char* serial = nullptr) {
    const path device = sys() / "devices/pci0000:00/usb1" / name;
    WriteAt(device / "idVendor", vendor + "\n");
    WriteAt(device / "idProduct", id + "\n");
    WriteAt(device / "busnum", "1\n");
    WriteAt(device / "devnum", std::to_string(++devices_ + 1) + "\n");
    if (product) WriteAt(device / "product", std::string(product) + "\n");
    if (serial) WriteAt(device / "serial", std::string(serial) + "\n");
    Link(sys() / "bus/usb/devices" / name, device);
  }
  // An interface of the device held by `driver` ("" for none), with `tty` below it if given.
  void BindInterface(const std::string& device, const std::string& driver, const std::string& tty = "") {
    const path iface = sys() / "devices/pci0000:00/usb1" / device / (device + ":1.0");
    std::filesystem::create_directories(iface / tty);
    if (!driver.empty()) Link(iface / "driver", sys() / "bus/usb/drivers" / driver);
    if (!tty.empty()) Link(sys() / "class/tty" / tty / "device", iface / tty);
  }
  // A bridge of this USB vendor with its tty, as ftdi_sio binds it.
  void AddTty(const std::string& tty, const std::string& vendor, const char* product, const char* serial = nullptr) {
    const std::string name = "1-" + std::to_string(devices_ + 1);
    AddUsbDevice(name, vendor, "6001", product, serial);
    BindInterface(name, "ftdi_sio", tty);
  }

  // dev/<tty> as a file with this mode and group (kept as it is where chown is not allowed).
  void AddNode(const std::string& tty, mode_t mode, gid_t group) {
    WriteAt("dev/" + tty, "");
    ::chmod((root() / "dev" / tty).c_str(), mode);
    [[maybe_unused]] const int r = ::chown((root() / "dev" / tty).c_str(), 0, group);
  }
  // dev/<tty> as a link to `target`, replacing what was there (a renumbering).
  void LinkNode(const std::string& tty, const path& target) {
    std::filesystem::remove(root() / "dev" / tty);
    Link(root() / "dev" / tty, target);
  }

  // A process with these files open.
  void AddProcess(int pid, const std::string& name, const std::vector<path>& open) {
    const path dir = root() / "proc" / std::to_string(pid);
    WriteAt(dir / "comm", name + "\n");
    std::filesystem::create_directories(dir / "fd");
    for (size_t i = 0; i < open.size(); ++i)
      std::filesystem::create_symlink(open[i], dir / "fd" / std::to_string(i + 3));
  }

  // `at` relative to the root, or an absolute path inside it.
  void WriteAt(const path& at, const std::string& text) {
    std::filesystem::create_directories((root() / at).parent_path());
    WriteFile(root() / at, text);
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
