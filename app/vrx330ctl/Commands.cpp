#include "app/vrx330ctl/Commands.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/vrx330ctl/Output.h"
#include "link/ControllerList.h"
#include "link/Exchange.h"
#include "link/WireProtocol.h"
#include "settings/NumberText.h"

namespace irisdesk::ctl {
namespace {

// A single lost reply (line noise, a stray byte) should not fail a script: ask again.
constexpr int kStatusAttempts = 3;

// One open controller for the length of a command.
class Session {
 public:
  Session(Environment& env, ControllerEntry controller, FT_HANDLE handle)
      : env_(env), controller_(std::move(controller)), handle_(handle) {}
  ~Session() { env_.bridge.FT_Close(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& description() const { return controller_.description; }
  // The facts that name the controller: its description, and where known its serial
  // number and port, which tell two of one model apart.
  Facts Device() const {
    Facts facts;
    facts.Add("device", controller_.description);
    if (!controller_.serial.empty()) facts.Add("serial", controller_.serial);
    if (!controller_.port.empty()) facts.Add("port", controller_.port);
    return facts;
  }
  bool lost() const { return lost_; }

  // A decoded status, asking up to `attempts` times; nullopt when none came (or the
  // device is gone, or a stop was asked for).
  std::optional<StatusReply> Status(int attempts = kStatusAttempts) {
    for (int i = 0; i < attempts && !env_.stop.IsSet(); ++i) {
      SpaceAfterCommand();
      const StatusExchange x = ExchangeStatus(env_.bridge, handle_, env_.clock, &env_.stop);
      if (x.outcome == ExchangeOutcome::Lost) {
        lost_ = true;
        return std::nullopt;
      }
      if (x.reply) return x.reply;
    }
    return std::nullopt;
  }

  // Commands are not answered: a write that fails is reported, nothing more.
  bool Send(std::string_view code, uint32_t parameter) {
    SpaceAfterCommand();
    const FT_STATUS status = SendCommand(env_.bridge, handle_, code, parameter);
    lastCommand_ = env_.clock.Now();
    if (status == FT_IO_ERROR) lost_ = true;
    return status == FT_OK;
  }

  // Polls every 120 ms until `done` holds for a status, the deadline passes or a stop
  // is asked for. The last status seen is left in `last`.
  bool PollUntil(const std::function<bool(const StatusReply&)>& done, TimePoint deadline,
                 std::optional<StatusReply>& last) {
    for (;;) {
      if (last && done(*last)) return true;
      if (env_.clock.Now() >= deadline || lost_) return false;
      if (env_.clock.WaitForStop(env_.stop, kPollInterval)) return false;
      if (auto s = Status()) last = s;
    }
  }

 private:
  // Frames leave at least 20 ms after a command, so the controller takes each whole.
  void SpaceAfterCommand() {
    if (lastCommand_) env_.clock.SleepUntil(*lastCommand_ + kCommandSpacing);
  }

  Environment& env_;
  ControllerEntry controller_;
  FT_HANDLE handle_;
  std::optional<TimePoint> lastCommand_;
  bool lost_ = false;
};

void Print(Environment& env, const std::string& text) {
  std::fputs(text.c_str(), env.out);
  std::fflush(env.out);
}

int Fail(Environment& env, int status, const std::string& message) {
  std::fprintf(env.err, "vrx330ctl: %s\n", message.c_str());
  return status;
}

Facts StatusFacts(const Session& s, const std::optional<StatusReply>& reply) {
  Facts facts = s.Device();
  facts.Add("link", reply ? "connected" : s.lost() ? "lost" : "no_feedback");
  if (reply) facts.AddStatus(*reply);
  return facts;
}

// The reason a status could not be had, as an exit status with its message.
int NoStatus(Environment& env, const Session& s) {
  if (s.lost())
    return Fail(env, ExitNoController, "the controller '" + s.description() + "' is gone (unplugged?)");
  if (env.stop.IsSet()) return Fail(env, ExitNoAnswer, "interrupted");
  return Fail(env, ExitNoAnswer, "the controller '" + s.description() + "' did not answer");
}

TimePoint Deadline(Environment& env, const Options& o) {
  return env.clock.Now() +
         std::chrono::duration_cast<Duration>(std::chrono::duration<double>(o.timeoutSeconds));
}

bool Idle(const StatusReply& r) { return !(r.flags & (StatusMoving | StatusInitialising)); }
bool Ready(const StatusReply& r) { return Idle(r) && (r.flags & StatusInitialised); }

// A controller need not report the motion it was just told to make in its very next
// reply: a move or an initialise is over once motion was seen and has ended, or a move
// found the diaphragm already where it was sent.
std::function<bool(const StatusReply&)> AfterMotion(std::function<bool(const StatusReply&)> over,
                                                    std::optional<uint32_t> target) {
  auto seen = std::make_shared<bool>(false);
  return [=](const StatusReply& r) {
    if (r.flags & (StatusMoving | StatusInitialising)) *seen = true;
    return over(r) && (*seen || (target && r.position == *target));
  };
}

int Watch(const Options& o, Environment& env, Session& s) {
  for (bool first = true;; first = false) {
    if (!first && env.clock.WaitForStop(env.stop, kPollInterval)) return ExitDone;
    const auto reply = s.Status(1);
    if (env.stop.IsSet()) return ExitDone;  // Ctrl+C during the exchange
    Print(env, StatusFacts(s, reply).Render(o.json, true));
    if (s.lost()) return NoStatus(env, s);
  }
}

// Waits for the motor, then prints where it stopped.
int Finish(const Options& o, Environment& env, Session& s, Facts facts, TimePoint deadline,
           const std::function<bool(const StatusReply&)>& done, const char* what) {
  std::optional<StatusReply> last = s.Status();
  if (!last) return NoStatus(env, s);
  const bool finished = !o.wait || s.PollUntil(done, deadline, last);
  facts.Add("link", "connected").AddStatus(*last);
  Print(env, facts.Render(o.json));
  if (finished) return ExitDone;
  if (s.lost() || env.stop.IsSet()) return NoStatus(env, s);
  return Fail(env, ExitNoAnswer,
              std::string(what) + " did not finish within " + FormatFixed(o.timeoutSeconds, 1) + " s");
}

int Set(const Options& o, Environment& env, Session& s) {
  std::optional<StatusReply> last = s.Status();
  if (!last) return NoStatus(env, s);
  Facts facts = s.Device();
  facts.AddMm("target_mm", o.sizeMm);
  const TimePoint deadline = Deadline(env, o);
  if (o.sizeMm == 0.0) {
    // Zero is reached by initialising, which homes the diaphragm there.
    s.Send(kCodeInit, 0);
    return Finish(o, env, s, facts, deadline, AfterMotion(Ready, std::nullopt), "the move");
  }
  // The controller takes a move only once initialised.
  if (!(last->flags & (StatusInitialised | StatusInitialising))) s.Send(kCodeInit, 0);
  if (!(last->flags & StatusInitialised) || (last->flags & StatusInitialising)) {
    if (!s.PollUntil(
            [](const StatusReply& r) {
              return !(r.flags & StatusInitialising) && (r.flags & StatusInitialised);
            },
            deadline, last)) {
      if (s.lost() || env.stop.IsSet()) return NoStatus(env, s);
      return Fail(env, ExitNoAnswer,
                  "the initialisation did not finish within " + FormatFixed(o.timeoutSeconds, 1) + " s");
    }
  }
  s.Send(kCodeMove, MoveSteps(o.sizeMm));
  return Finish(o, env, s, facts, deadline, AfterMotion(Idle, MoveSteps(o.sizeMm)), "the move");
}

}  // namespace

std::vector<size_t> MatchControllers(const std::vector<ControllerEntry>& listed, const std::string& name) {
  // A path such as /dev/serial/by-id/... reaches the same node as the listed port.
  std::error_code error;
  const auto device = name.find('/') == std::string::npos ? std::filesystem::path()
                                                           : std::filesystem::canonical(name, error);
  std::vector<size_t> found;
  for (size_t i = 0; i < listed.size(); ++i) {
    const ControllerEntry& c = listed[i];
    // A port also by its bare name (ttyUSB0), or by another path to its device node.
    const bool port = !c.port.empty() && (c.port == name || std::filesystem::path(c.port).filename() == name ||
                                          (!device.empty() && std::filesystem::canonical(c.port, error) == device));
    if (c.description == name || (!c.serial.empty() && c.serial == name) || port) found.push_back(i);
  }
  return found;
}

int RunCommand(const Options& o, Environment& env) {
  const auto listed = ListControllers(env.bridge).entries;
  if (o.command == Command::List) {
    if (listed.empty()) return Fail(env, ExitNoController, "no controller found (see 'vrx330ctl doctor')");
    Print(env, Facts().AddControllers("controllers", listed).Render(o.json));
    return ExitDone;
  }

  ControllerEntry controller;
  if (o.device) {
    const std::vector<size_t> matches = MatchControllers(listed, *o.device);
    if (matches.empty()) return Fail(env, ExitNoController, "cannot open '" + *o.device + "': no such controller");
    if (matches.size() > 1) {
      // Sending to either could move the wrong iris: say how to name each one.
      std::string candidates;
      for (const size_t i : matches)
        candidates += (candidates.empty() ? "" : ", ") + std::string("serial ") +
                      (listed[i].serial.empty() ? "unknown" : listed[i].serial) + " at " +
                      (listed[i].port.empty() ? "an unknown port" : listed[i].port);
      return Fail(env, ExitUsage, "'" + *o.device + "' names " + std::to_string(matches.size()) +
                                      " controllers: " + candidates + "; name one by its serial number or port");
    }
    controller = listed[matches.front()];
  } else if (!listed.empty()) {
    controller = listed.front();
  } else {
    return Fail(env, ExitNoController, "no controller found (see 'vrx330ctl doctor')");
  }
  const std::string description = controller.description;
  FT_STATUS status = FT_OK;
  ControllerEntry opened = controller;
  const FT_HANDLE handle = OpenController(env.bridge, controller, &status, &opened);
  if (!handle) {
    // Gone since it was listed, or there but not to be had (why, where the platform can say).
    std::string why = status == FT_DEVICE_NOT_FOUND ? "no such controller"
                      : env.explainOpenFailure     ? env.explainOpenFailure(opened)
                                                   : "";
    if (why.empty()) why = "the port could not be opened";
    return Fail(env, ExitNoController, "cannot open '" + description + "': " + why);
  }
  Session session(env, opened, handle);

  switch (o.command) {
    case Command::Status: {
      const auto reply = session.Status();
      if (!reply && env.stop.IsSet()) return NoStatus(env, session);  // interrupted: there is no status to show
      Print(env, StatusFacts(session, reply).Render(o.json));
      return reply ? ExitDone : NoStatus(env, session);
    }
    case Command::Set: return Set(o, env, session);
    case Command::Stop:
      session.Send(kCodeStop, 0);
      return Finish(o, env, session, session.Device(), Deadline(env, o), Idle, "the stop");
    case Command::Init:
      session.Send(kCodeInit, 0);
      return Finish(o, env, session, session.Device(), Deadline(env, o),
                    AfterMotion(Ready, std::nullopt), "the initialisation");
    case Command::Watch: return Watch(o, env, session);
    default: return Fail(env, ExitUsage, "no command given");
  }
}

}  // namespace irisdesk::ctl
