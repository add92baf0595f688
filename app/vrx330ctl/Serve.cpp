// vrx330ctl serve: the panel's link without a window, shared with this user's programs
// (and over TCP when asked) until Ctrl+C or SIGTERM.
#include "app/vrx330ctl/Serve.h"

#include "app/vrx330ctl/Output.h"
#include "panel/HeadlessWindow.h"
#include "panel/IrisDeskDlg.h"
#include "panel/LinkSharing.h"

#ifndef IRISDESK_VERSION
#define IRISDESK_VERSION "unknown"
#endif

namespace irisdesk::ctl {
namespace {

// How often a controller that went away is looked for again.
constexpr auto kRelinkInterval = std::chrono::seconds(1);
// Longer than a controller that does not answer takes to be called so.
constexpr auto kFirstAnswerWait = std::chrono::seconds(3);

// Selects `chosen` in the panel's list and connects, when it is present now. Never
// another controller in its place, and never a move by itself: a controller that
// comes back uninitialised is initialised, not sent to the size a client wanted
// before it went (the clients were told it went).
void ConnectTo(CIrisDeskDlg& panel, HeadlessWindow& window, const ControllerEntry& chosen) {
  window.texts[IDC_NEW_VALUE] = "0";
  panel.OnEntryChanged();
  panel.EnumerateControllers(chosen);
  const auto selected = panel.SelectedController();
  if (selected && FindController({*selected}, chosen)) panel.ToggleConnection();
}

}  // namespace

int Serve(const Options& o, Environment& env, StopEvent& stop) {
  const auto listed = ListControllers(env.bridge).entries;
  std::optional<size_t> index;
  if (int status = ChooseController(o, env, listed, index); status != ExitDone) return status;
  const ControllerEntry chosen = listed[*index];

  HeadlessWindow window;
  PanelEnvironment environment{env.bridge, "", [&stop] { stop.Wake(); }, env.clock};
  environment.useSettings = false;
  CIrisDeskDlg panel(window, environment);
  panel.OnInitDialog();
  // Clients' sizes are kept to the finest step the panel offers.
  panel.SelectPrecision(100);

  std::string error;
  SharingOptions sharingOptions{o.listen, IRISDESK_VERSION,
                                [&env](const std::string& text) { WriteText(env.err, "vrx330ctl: " + text + "\n"); }};
  const auto sharing = LinkSharing::Start(panel, sharingOptions, &error);
  if (!sharing) return Fail(env, ExitUsage, error);

  ConnectTo(panel, window, chosen);
  if (!panel.linked()) return Fail(env, ExitNoController, "cannot open '" + chosen.description + "'");
  // Announced once the controller answered (or is known not to), so a script that
  // starts serve and then asks finds the link up.
  const TimePoint announceBy = env.clock.Now() + kFirstAnswerWait;
  while (panel.linkState() != LinkConnected && panel.linkState() != LinkNoFeedback && env.clock.Now() < announceBy) {
    if (stop.WaitForStopOrWake(kPollInterval) == StopEvent::Wait::Stopped) break;
    panel.ApplyWorkerUpdates();
  }
  Facts facts;
  facts.Add("serving", chosen.description);
  if (!chosen.serial.empty()) facts.Add("serial", chosen.serial);
  if (!chosen.port.empty()) facts.Add("port", chosen.port);
  facts.Add("endpoint", sharing->LocalPath());
  if (!sharing->TcpAddress().empty()) facts.Add("tcp", sharing->TcpAddress());
  WriteText(env.out, facts.Render(o.json));
  std::fflush(env.out);

  while (stop.WaitForStopOrWake(kRelinkInterval) != StopEvent::Wait::Stopped) {
    panel.ApplyWorkerUpdates();
    if (!panel.linked()) ConnectTo(panel, window, chosen);
  }
  panel.OnDestroy();
  return ExitDone;
}

}  // namespace irisdesk::ctl
