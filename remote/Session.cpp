#include "remote/Session.h"

#include <cmath>
#include <utility>

#include "link/WireProtocol.h"
#include "settings/NumberText.h"

namespace irisdesk::remote {
namespace {

// SCPI's not-a-number: a size the controller has not reported.
constexpr std::string_view kNotANumber = "9.91E37";

const char* LinkText(InstrumentState::Link link) {
  switch (link) {
    case InstrumentState::Link::Connected: return "CONNECTED";
    case InstrumentState::Link::NoFeedback: return "NOFEEDBACK";
    case InstrumentState::Link::Disconnected: return "DISCONNECTED";
    case InstrumentState::Link::NotFound: return "NOTFOUND";
  }
  return "DISCONNECTED";
}

// An *IDN? field: printable ASCII without the ',' and ';' that would split the answer;
// "0" when empty, as IEEE 488.2 has it for an unknown serial number.
std::string IdentityField(std::string_view text) {
  std::string field;
  for (char c : text) field.push_back(c >= ' ' && c < 0x7F && c != ',' && c != ';' ? c : '_');
  return field.empty() ? "0" : field;
}

// A SCPI string: quoted, a quote inside doubled.
std::string QuotedString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

std::span<const Session::Command> Session::Commands() {
  static const Command commands[] = {
      {"*IDN?", Parameter::None, &Session::Identify},
      {"*OPC?", Parameter::None, &Session::OperationComplete},
      {"*CLS", Parameter::None, &Session::ClearStatus},
      {"SYSTem:ERRor[:NEXT]?", Parameter::None, &Session::NextError},
      {"SIZE", Parameter::Number, &Session::SetSize},
      {"SIZE?", Parameter::None, &Session::QuerySize},
      {"STOP", Parameter::None, &Session::StopMotion},
      {"INITialise", Parameter::None, &Session::StartInitialise},
      {"INITialize", Parameter::None, &Session::StartInitialise},
      {"MOVing?", Parameter::None, &Session::QueryMoving},
      {"LINK?", Parameter::None, &Session::QueryLink},
      {"SYSTem:CONTroller?", Parameter::None, &Session::QueryController},
      {"STATe?", Parameter::None, &Session::QueryState},
  };
  return commands;
}

Session::Session(Instrument& instrument, std::string version)
    : instrument_(instrument), version_(IdentityField(version)) {}

std::string Session::Take(std::string_view line) {
  if (!parked_) return Run(line);
  if (waiting_.size() >= kMaxWaitingLines)
    AddError(-363, "Input buffer overrun");
  else if (line.size() > kMaxLineBytes)
    waiting_.emplace_back();
  else
    waiting_.emplace_back(std::string(line));
  return {};
}

std::string Session::Resume() {
  if (!parked_) return {};
  std::string out = Continue();
  while (!parked_ && !waiting_.empty()) {
    const std::optional<std::string> line = std::move(waiting_.front());
    waiting_.pop_front();
    if (line)
      out += Run(*line);
    else
      AddError(-102, "Syntax error");
  }
  return out;
}

std::string Session::Run(std::string_view line) {
  calls_.clear();
  next_ = 0;
  answers_.clear();
  const auto units = ParseLine(line);
  if (!units) {
    AddError(-102, "Syntax error");
    return {};
  }
  auto calls = Resolve(*units);
  if (!calls) return {};
  calls_ = std::move(*calls);
  return Continue();
}

std::optional<std::vector<Session::Call>> Session::Resolve(std::span<const ProgramUnit> units) {
  std::vector<Call> calls;
  calls.reserve(units.size());
  for (const ProgramUnit& unit : units) {
    const Command* found = nullptr;
    for (const Command& command : Commands()) {
      if (MatchHeader(command.pattern, unit.header)) {
        found = &command;
        break;
      }
    }
    if (!found) {
      AddError(-113, "Undefined header");
      return std::nullopt;
    }
    double number = 0.0;
    if (found->parameter == Parameter::None && !unit.parameter.empty()) {
      AddError(-108, "Parameter not allowed");
      return std::nullopt;
    }
    if (found->parameter == Parameter::Number) {
      if (unit.parameter.empty()) {
        AddError(-109, "Missing parameter");
        return std::nullopt;
      }
      const auto value = ParseDecimal(unit.parameter);
      if (!value) {
        AddError(-104, "Data type error");
        return std::nullopt;
      }
      number = *value;
    }
    calls.push_back({found, number});
  }
  return calls;
}

std::string Session::Continue() {
  for (; next_ < calls_.size(); ++next_) {
    Reply reply = (this->*calls_[next_].command->run)(calls_[next_].number);
    if (reply.kind == Reply::Kind::Wait) {
      parked_ = true;
      return {};
    }
    if (reply.kind == Reply::Kind::Answer) {
      if (!answers_.empty()) answers_ += ';';
      answers_ += reply.text;
    }
  }
  parked_ = false;
  calls_.clear();
  if (answers_.empty()) return {};
  std::string out = std::move(answers_);
  answers_.clear();
  out += '\n';
  return out;
}

void Session::AddError(int code, std::string_view message) {
  std::string entry = std::to_string(code) + ",\"" + std::string(message) + '"';
  // A full queue keeps its oldest entries and says it lost the rest in its last one.
  if (errors_.size() >= kMaxErrors)
    errors_.back() = "-350,\"Queue overflow\"";
  else
    errors_.push_back(std::move(entry));
}

void Session::QueueNoLink() {
  AddError(-240, std::string("Hardware error;") + LinkText(instrument_.State().link));
}

// Nothing runs that a client could wait for without a link that answers: a controller
// that stopped replying would never be seen to finish.
bool Session::Running() {
  const InstrumentState state = instrument_.State();
  return state.link == InstrumentState::Link::Connected && state.busy;
}

Session::Reply Session::Identify(double) {
  const auto controller = instrument_.Controller();
  const std::string identity = !controller ? "" : !controller->serial.empty() ? controller->serial : controller->description;
  return {Reply::Kind::Answer, "Kavro,VRX-330," + IdentityField(identity) + ',' + version_};
}

Session::Reply Session::OperationComplete(double) {
  if (Running()) return {Reply::Kind::Wait, {}};
  return {Reply::Kind::Answer, "1"};
}

Session::Reply Session::ClearStatus(double) {
  errors_.clear();
  return {};
}

Session::Reply Session::NextError(double) {
  if (errors_.empty()) return {Reply::Kind::Answer, "0,\"No error\""};
  Reply reply{Reply::Kind::Answer, std::move(errors_.front())};
  errors_.pop_front();
  return reply;
}

Session::Reply Session::SetSize(double mm) {
  if (!(mm >= 0.0 && mm <= kTravelMm)) {
    AddError(-222, "Data out of range");
    return {};
  }
  // The controls a move needs are the panel's, usable only while connected; zero is
  // reached by initialising, which homes the iris there, as the panel's Set does.
  const bool sent = instrument_.State().link == InstrumentState::Link::Connected &&
                    (mm == 0.0 ? instrument_.Initialise() : instrument_.Size(mm));
  if (!sent) QueueNoLink();
  return {};
}

Session::Reply Session::QuerySize(double) {
  const InstrumentState state = instrument_.State();
  if (state.link != InstrumentState::Link::Connected) {
    QueueNoLink();
    return {Reply::Kind::Answer, std::string(kNotANumber)};
  }
  if (!state.sizeMm || !std::isfinite(*state.sizeMm)) return {Reply::Kind::Answer, std::string(kNotANumber)};
  return {Reply::Kind::Answer, FormatFixed(*state.sizeMm, 2)};
}

// A stop is never held back here: the instrument sends it whenever a link is open.
Session::Reply Session::StopMotion(double) {
  if (!instrument_.Stop()) QueueNoLink();
  return {};
}

Session::Reply Session::StartInitialise(double) {
  if (instrument_.State().link != InstrumentState::Link::Connected || !instrument_.Initialise())
    QueueNoLink();
  return {};
}

Session::Reply Session::QueryMoving(double) { return {Reply::Kind::Answer, Running() ? "1" : "0"}; }

Session::Reply Session::QueryLink(double) {
  return {Reply::Kind::Answer, LinkText(instrument_.State().link)};
}

// What names the linked controller, as vrx330ctl lists it: description, serial
// number, port.
Session::Reply Session::QueryController(double) {
  const auto controller = instrument_.Controller();
  if (!controller) QueueNoLink();
  const ControllerEntry entry = controller.value_or(ControllerEntry{});
  return {Reply::Kind::Answer,
          QuotedString(entry.description) + ',' + QuotedString(entry.serial) + ',' + QuotedString(entry.port)};
}

// The controller's last status as it came: motor steps and flags, for a client that
// reads them as the panel does.
Session::Reply Session::QueryState(double) {
  const InstrumentState state = instrument_.State();
  if (state.link != InstrumentState::Link::Connected) {
    QueueNoLink();
    return {Reply::Kind::Answer, std::string(kNotANumber)};
  }
  if (!state.status) return {Reply::Kind::Answer, std::string(kNotANumber)};
  return {Reply::Kind::Answer, std::to_string(state.status->position) + ',' + std::to_string(state.status->flags)};
}

}  // namespace irisdesk::remote
