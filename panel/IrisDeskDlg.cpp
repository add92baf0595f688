// The panel's lifecycle: construction, start-up, shut-down, and the hand-over of the
// worker's window changes.
#include "panel/IrisDeskDlg.h"

#include "settings/SettingsFile.h"

namespace irisdesk {

CIrisDeskDlg::CIrisDeskDlg(WindowOps& window, PanelEnvironment environment)
    : window_(window),
      bridge_(environment.bridge),
      clock_(environment.clock),
      executablePath_(std::move(environment.executablePath)),
      startWorker_(environment.startWorker),
      useSettings_(environment.useSettings),
      deferred_(std::move(environment.wakeWindowThread)),
      windowThread_(std::this_thread::get_id()) {}

CIrisDeskDlg::~CIrisDeskDlg() {
  // The worker must never act on a panel that is gone.
  EndWorker();
  CloseDevice();
}

WindowWriter& CIrisDeskDlg::Writer() {
  if (std::this_thread::get_id() == windowThread_) return window_;
  return deferred_;
}

void CIrisDeskDlg::ApplyWorkerUpdates() {
  deferred_.ApplyTo(window_);
  // A link the worker ended (a lost device) is over for the observer too.
  NotifyLinkChange();
}

bool CIrisDeskDlg::OnInitDialog() {
  window_.SetIcons();

  currentMm_ = 0.0;
  sliderDriven_ = false;
  missedReplies_ = 0;
  portIndex_ = 0;
  autoConnect_ = 0;
  initPending_ = false;
  linkState_ = LinkUnset;
  precision_ = 1;
  sliderPosition_ = 0;
  entry_.upperBound = kMaxSizeMm;

  iniPath_ = useSettings_ ? ChooseSettingsPath(executablePath_) : std::string();
  // Without settings, a file that cannot be there: every value its default.
  const SettingsFile settings(useSettings_ ? ChooseStartingSettingsPath(executablePath_) : std::string());
  // Read whole before narrowing: 266 must not pass for 10.
  const int32_t storedPrecision = settings.ReadSettingInt(kSettingsSection, kKeyPrecision, precision_);
  precision_ = static_cast<uint8_t>(storedPrecision == 10 || storedPrecision == 100 ? storedPrecision : 0);
  sliderPosition_ = settings.ReadSettingInt(kSettingsSection, kKeyLastValue, sliderPosition_);
  autoConnect_ = settings.ReadSettingInt(kSettingsSection, kKeyAutoConnect, 0);

  switch (precision_) {
    case 10: window_.SetCheck(IDC_PRECISION_01MM, 1); break;
    case 100: window_.SetCheck(IDC_PRECISION_001MM, 1); break;
    default:
      // 1, or a value no button and no format stand for: with it the entry would stay
      // empty and Set would home the diaphragm whatever the slider showed.
      precision_ = 1;
      window_.SetCheck(IDC_PRECISION_1MM, 1);
      break;
  }
  entry_.entryPrecision = precision_;
  window_.SetTitle(kWindowTitle);
  window_.SetCheck(IDC_AUTOCONNECT, autoConnect_ != 0 ? 1 : 0);
  ApplySliderScale();

  if (EnumerateControllers() != 0 && autoConnect_ != 0) ToggleConnection();
  return true;
}

void CIrisDeskDlg::OnDestroy() {
  // Close the link first, so the settings describe a panel at rest.
  if (linkOpen_) Disconnect();
  CloseDevice();
  NotifyLinkChange();
  SaveSettings();
}

void CIrisDeskDlg::SaveSettings() {
  if (!useSettings_) return;
  const SettingsFile settings(iniPath_);
  // Failures are silent: an unwritable file leaves the old one as it was.
  // One replacement for the three, so a program killed while saving keeps either all
  // the old values or all the new ones.
  settings.WriteSettingInts(
      kSettingsSection,
      {{kKeyPrecision, precision_}, {kKeyLastValue, sliderPosition_}, {kKeyAutoConnect, autoConnect_}});
}

}  // namespace irisdesk
