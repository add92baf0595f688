#include "app/vrx330ctl/Commands.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/vrx330ctl/Output.h"
#include "link/ControllerList.h"
#include "link/Exchange.h"
#include "link/WireProtocol.h"
#include "remote/Endpoint.h"
#include "settings/NumberText.h"

namespace irisdesk::ctl {

int Fail(Environment& env, int status, const std::string& message) {
  WriteText(env.err, "vrx330ctl: " + message + "\n");
  return status;
}

namespace {

// A controller looked for and not found may be one a serving process holds that took
// no more connections: the failure names it rather than leave the user guessing.
std::string NotFound(const Environment& env, const std::string& what, const std::string& otherwise) {
  if (!env.untaken || env.untaken->empty()) return what + otherwise;
  std::string paths;
  for (const std::string& path : *env.untaken) paths += (paths.empty() ? "'" : ", '") + path + "'";
  return what + ": the process serving " + paths + " took no connection (all " + std::to_string(remote::kMaxClients) +
         " of its connections may be in use); try again when one is free";
}

// A single lost reply (line noise, a stray byte) should not fail a script: ask again.
constexpr int kStatusAttempts = 3;

// One open controller for the length of a command.
class Session {
 public:
  Session(Environment& env, Bridge& bridge, ControllerEntry controller, FT_HANDLE handle)
      : env_(env), bridge_(bridge), controller_(std::move(controller)), handle_(handle) {}
  ~Session() { bridge_.FT_Close(handle_); }
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
      const StatusExchange x = ExchangeStatus(bridge_, handle_, env_.clock, &env_.stop);
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
    const FT_STATUS status = SendCommand(bridge_, handle_, code, parameter);
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
  Bridge& bridge_;
  ControllerEntry controller_;
  FT_HANDLE handle_;
  std::optional<TimePoint> lastCommand_;
  bool lost_ = false;
};

void Print(Environment& env, const std::string& text) { WriteText(env.out, text); }


Facts StatusFacts(const Session& s, const std::optional<StatusReply>& reply) {
  Facts facts = s.Device();
  facts.Add("link", reply ? "connected" : s.lost() ? "lost" : "no_feedback");
  if (reply) facts.AddStatus(*reply);
  else
    facts.AddNoStatus();
  return facts;
}

int Gone(Environment& env, const Session& s) {
  return Fail(env, ExitNoController, "the controller '" + s.description() + "' is gone (unplugged?)");
}

// The reason a status could not be had, as an exit status with its message.
int NoStatus(Environment& env, const Session& s) {
  if (s.lost()) return Gone(env, s);
  if (env.stop.IsSet()) return Fail(env, ExitInterrupted, "interrupted");
  return Fail(env, ExitNoAnswer, "the controller '" + s.description() + "' did not answer");
}

// A command frame that did not go out: the device is gone, or the write failed.
int NotSent(Environment& env, const Session& s, std::string_view code) {
  if (s.lost()) return Gone(env, s);
  const char* what = code == kCodeInit ? "initialise" : code == kCodeMove ? "move" : "stop";
  return Fail(env, ExitNoAnswer,
              std::string("the ") + what + " command could not be sent to '" + s.description() + "'");
}

TimePoint Deadline(Environment& env, const Options& o) {
  return env.clock.Now() +
         std::chrono::duration_cast<Duration>(std::chrono::duration<double>(o.timeoutSeconds));
}

bool Idle(const StatusReply& r) { return !(r.flags & (StatusMoving | StatusInitialising)); }
bool Ready(const StatusReply& r) { return Idle(r) && (r.flags & StatusInitialised); }

// A controller need not report the motion it was just told to make in its very next
// reply: a move or an initialise is over once motion was seen and has ended, or once
// the diaphragm is where it was sent (a move to where it was, or a homing from at or
// near 0 mm that ended between two polls).
std::function<bool(const StatusReply&)> AfterMotion(std::function<bool(const StatusReply&)> over,
                                                    uint32_t target) {
  auto seen = std::make_shared<bool>(false);
  return [=](const StatusReply& r) {
    if (r.flags & (StatusMoving | StatusInitialising)) *seen = true;
    return over(r) && (*seen || r.position == target);
  };
}

// A wait that cannot run its course (Ctrl+C, the time-out) stops the motor before the
// program exits, so no move outlives the command that was waiting for it.
int GiveUp(const Options& o, Environment& env, Session& s, bool answered, const std::string& what) {
  if (s.lost()) return Gone(env, s);
  if (!s.Send(kCodeStop, 0)) return NotSent(env, s, kCodeStop);
  if (env.stop.IsSet()) return Fail(env, ExitInterrupted, "interrupted; the motor was told to stop");
  if (!answered)
    return Fail(env, ExitNoAnswer,
                "the controller '" + s.description() + "' did not answer; the motor was told to stop");
  return Fail(
      env, ExitNoAnswer,
      what + " did not finish within " + FormatFixed(o.timeoutSeconds, 1) + " s; the motor was told to stop");
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

// Waits for the motor (with --wait), then prints where it stopped.
int Finish(const Options& o, Environment& env, Session& s, Facts facts, TimePoint deadline,
           const std::function<bool(const StatusReply&)>& done, const char* what) {
  std::optional<StatusReply> last = s.Status();
  const bool finished = last && (!o.wait || s.PollUntil(done, deadline, last));
  if (last) Print(env, facts.Add("link", "connected").AddStatus(*last).Render(o.json));
  if (finished) return ExitDone;
  return o.wait ? GiveUp(o, env, s, last.has_value(), what) : NoStatus(env, s);
}

int Set(const Options& o, Environment& env, Session& s) {
  std::optional<StatusReply> last = s.Status();
  if (!last) return NoStatus(env, s);
  Facts facts = s.Device();
  facts.AddMm("target_mm", o.sizeMm);
  const TimePoint deadline = Deadline(env, o);
  if (o.sizeMm == 0.0) {
    // Zero is reached by initialising, which homes the diaphragm there.
    if (!s.Send(kCodeInit, 0)) return NotSent(env, s, kCodeInit);
    return Finish(o, env, s, facts, deadline, AfterMotion(Ready, StepOffset), "the move");
  }
  // The controller takes a move only once initialised.
  if (!(last->flags & (StatusInitialised | StatusInitialising)) && !s.Send(kCodeInit, 0))
    return NotSent(env, s, kCodeInit);
  if (!(last->flags & StatusInitialised) || (last->flags & StatusInitialising)) {
    if (!s.PollUntil(
            [](const StatusReply& r) {
              return !(r.flags & StatusInitialising) && (r.flags & StatusInitialised);
            },
            deadline, last))
      return GiveUp(o, env, s, true, "the initialisation");
  }
  if (!s.Send(kCodeMove, MoveSteps(o.sizeMm))) return NotSent(env, s, kCodeMove);
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

namespace {

// The controllers present, each with the bridge that reaches it: a controller this
// user's panel or serve holds is reached through that process, in its place in the list.
std::vector<std::pair<ControllerEntry, Bridge*>> ListAll(Environment& env) {
  std::vector<std::pair<ControllerEntry, Bridge*>> all;
  for (ControllerEntry& entry : ListControllers(env.bridge).entries) all.emplace_back(std::move(entry), &env.bridge);
  if (!env.served) return all;
  for (ControllerEntry& entry : ListControllers(*env.served).entries) {
    const auto held = std::find_if(all.begin(), all.end(), [&](const auto& direct) {
      return (!entry.serial.empty() && direct.first.serial == entry.serial) ||
             (!entry.port.empty() && direct.first.port == entry.port);
    });
    if (held != all.end())
      *held = {std::move(entry), env.served};
    else
      all.emplace_back(std::move(entry), env.served);
  }
  return all;
}

}  // namespace

int ChooseController(const Options& o, Environment& env, const std::vector<ControllerEntry>& listed,
                     std::optional<size_t>& index) {
  if (o.device) {
    const std::vector<size_t> matches = MatchControllers(listed, *o.device);
    if (matches.empty())
      return Fail(env, ExitNoController, NotFound(env, "cannot open '" + *o.device + "'", ": no such controller"));
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
    index = matches.front();
    return ExitDone;
  }
  if (listed.empty()) return Fail(env, ExitNoController, NotFound(env, "no controller found", " (see 'vrx330ctl doctor')"));
  index = 0;
  return ExitDone;
}

int RunCommand(const Options& o, Environment& env) {
  const auto reachable = ListAll(env);
  std::vector<ControllerEntry> listed;
  for (const auto& [entry, bridge] : reachable) listed.push_back(entry);
  if (o.command == Command::List) {
    // An empty list is still a list to a script reading JSON (text shows nothing).
    Print(env, Facts().AddControllers("controllers", listed).Render(o.json));
    if (listed.empty()) return Fail(env, ExitNoController, NotFound(env, "no controller found", " (see 'vrx330ctl doctor')"));
    return ExitDone;
  }

  std::optional<size_t> index;
  if (const int failed = ChooseController(o, env, listed, index); failed != ExitDone) return failed;
  const size_t chosen = *index;
  const ControllerEntry& controller = listed[chosen];
  Bridge& bridge = *reachable[chosen].second;
  const std::string description = controller.description;
  FT_STATUS status = FT_OK;
  ControllerEntry opened = controller;
  const FT_HANDLE handle = OpenController(bridge, controller, &status, &opened);
  if (!handle) {
    // Gone since it was listed, or there but not to be had (why, where the platform can say).
    std::string why = status == FT_DEVICE_NOT_FOUND                  ? "no such controller"
                      : env.explainOpenFailure && &bridge == &env.bridge ? env.explainOpenFailure(opened)
                                                                       : "";
    if (why.empty()) why = "the port could not be opened";
    return Fail(env, ExitNoController, "cannot open '" + description + "': " + why);
  }
  Session session(env, bridge, opened, handle);

  switch (o.command) {
    case Command::Status: {
      const auto reply = session.Status();
      if (!reply && env.stop.IsSet()) return NoStatus(env, session);  // interrupted: there is no status to show
      Print(env, StatusFacts(session, reply).Render(o.json));
      return reply ? ExitDone : NoStatus(env, session);
    }
    case Command::Set: return Set(o, env, session);
    case Command::Stop:
      if (!session.Send(kCodeStop, 0)) return NotSent(env, session, kCodeStop);
      return Finish(o, env, session, session.Device(), Deadline(env, o), Idle, "the stop");
    case Command::Init:
      if (!session.Send(kCodeInit, 0)) return NotSent(env, session, kCodeInit);
      return Finish(o, env, session, session.Device(), Deadline(env, o), AfterMotion(Ready, StepOffset),
                    "the initialisation");
    case Command::Watch: return Watch(o, env, session);
    default: return Fail(env, ExitUsage, "no command given");
  }
}

}  // namespace irisdesk::ctl
