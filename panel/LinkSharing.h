#pragma once
// The panel's link shared with other local clients: while a link is open, this user's
// local endpoint for its controller serves them (and TCP, for the process's whole
// life, when asked), each client's commands going through the panel's own queue.
#include <functional>
#include <memory>
#include <string>

#include "panel/IrisDeskDlg.h"
#include "remote/Endpoint.h"

namespace irisdesk {

struct SharingOptions {
  std::string listen;   // "ADDRESS:PORT" for TCP, "" for none
  std::string version;  // the program's, for *IDN?
  // Told when a link cannot be served locally; the link itself goes on.
  std::function<void(const std::string&)> warn;
};

class LinkSharing {
 public:
  // nullptr, with `error` saying why, when the TCP listener asked for cannot be made.
  // Must not outlive `panel`; a link already open is served at once.
  static std::unique_ptr<LinkSharing> Start(CIrisDeskDlg& panel, SharingOptions options, std::string* error);
  ~LinkSharing();
  LinkSharing(const LinkSharing&) = delete;
  LinkSharing& operator=(const LinkSharing&) = delete;

  std::string LocalPath() const { return local_ ? local_->LocalPath() : std::string(); }
  std::string TcpAddress() const { return tcp_ ? tcp_->TcpAddress() : std::string(); }

 private:
  class PanelInstrument;
  LinkSharing(CIrisDeskDlg& panel, SharingOptions options);
  void LinkChanged(const std::optional<ControllerEntry>& controller);

  CIrisDeskDlg& panel_;
  SharingOptions options_;
  std::unique_ptr<remote::Instrument> instrument_;
  std::unique_ptr<remote::Endpoint> tcp_;
  std::unique_ptr<remote::Endpoint> local_;
};

}  // namespace irisdesk
