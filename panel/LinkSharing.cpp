#include "panel/LinkSharing.h"

namespace irisdesk {

// The panel as a remote client sees it. Called on the endpoints' threads: only the
// panel's any-thread operations.
class LinkSharing::PanelInstrument final : public remote::Instrument {
 public:
  explicit PanelInstrument(CIrisDeskDlg& panel) : panel_(panel) {}

  remote::InstrumentState State() override {
    using Link = remote::InstrumentState::Link;
    const SharedLinkView view = panel_.SharedView();
    remote::InstrumentState state;
    switch (view.linkState) {
      case LinkConnected: state.link = Link::Connected; break;
      case LinkNoFeedback: state.link = Link::NoFeedback; break;
      case LinkNotFound: state.link = Link::NotFound; break;
      default: state.link = Link::Disconnected; break;
    }
    state.status = view.reply;
    if (view.reply) state.sizeMm = StepsToMm(view.reply->position);
    state.busy = view.motionPending;
    return state;
  }
  std::optional<ControllerEntry> Controller() override { return panel_.LinkedController(); }
  bool Size(double mm) override { return panel_.RequestSize(mm); }
  bool Stop() override { return panel_.RequestStop(); }
  bool Initialise() override { return panel_.RequestInitialise(); }

 private:
  CIrisDeskDlg& panel_;
};

LinkSharing::LinkSharing(CIrisDeskDlg& panel, SharingOptions options)
    : panel_(panel), options_(std::move(options)), instrument_(std::make_unique<PanelInstrument>(panel)) {}

std::unique_ptr<LinkSharing> LinkSharing::Start(CIrisDeskDlg& panel, SharingOptions options, std::string* error) {
  std::unique_ptr<LinkSharing> sharing(new LinkSharing(panel, std::move(options)));
  if (!sharing->options_.listen.empty()) {
    sharing->tcp_ = remote::Endpoint::Start(*sharing->instrument_, sharing->options_.version,
                                            {.local = "", .listen = sharing->options_.listen}, error);
    if (!sharing->tcp_) return nullptr;
  }
  LinkSharing* self = sharing.get();
  panel.SetLinkObserver([self](const std::optional<ControllerEntry>& controller) { self->LinkChanged(controller); });
  return sharing;
}

LinkSharing::~LinkSharing() {
  panel_.SetLinkObserver(nullptr);
  // The endpoints' threads end here, before the instrument they use.
  local_.reset();
  tcp_.reset();
}

void LinkSharing::LinkChanged(const std::optional<ControllerEntry>& controller) {
  local_.reset();
  if (!controller) return;
  std::string error;
  const auto folder = remote::LocalEndpointFolder(&error);
  if (folder)
    local_ = remote::Endpoint::Start(*instrument_, options_.version,
                                     {.local = remote::LocalEndpointPath(*folder, *controller), .listen = ""}, &error);
  if (!local_ && options_.warn) options_.warn("not shared with other programs: " + error);
}

}  // namespace irisdesk
