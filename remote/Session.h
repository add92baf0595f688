#pragma once
// One remote client connection speaking the command language: it reads the client's
// lines, asks the instrument, and keeps the connection's own error queue. Lines are
// taken whole; one that asks something gets one answer line. An *OPC? waits for a
// move or initialise to end without blocking: the session parks the rest of its line,
// and the endpoint calls Resume whenever the instrument's state may have changed.
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "remote/Instrument.h"
#include "remote/Language.h"

namespace irisdesk::remote {

class Session {
 public:
  static constexpr size_t kMaxErrors = 16;
  // Lines taken while parked wait behind the parked one, up to this many; past that a
  // line is lost and -363 is queued. An endpoint may instead stop reading a parked
  // connection, and let the socket hold the rest.
  static constexpr size_t kMaxWaitingLines = 32;

  // `version` ends the *IDN? answer.
  Session(Instrument& instrument, std::string version);

  // Takes one line (terminator stripped). Returns the answer line with its LF, or ""
  // when the line asked nothing or is parked on *OPC? (or waits behind a parked one).
  std::string Take(std::string_view line);
  bool Parked() const { return parked_; }
  // The instrument's state may have changed: a parked line continues, then the lines
  // waiting behind it. Returns the answer lines of those that completed, else "".
  std::string Resume();

 private:
  // What a command did: nothing to say, an answer, or wait and be run again on
  // Resume.
  struct Reply {
    enum class Kind { None, Answer, Wait } kind = Kind::None;
    std::string text;
  };
  enum class Parameter { None, Number };
  // A row of the command table: adding a command is adding a row.
  struct Command {
    std::string_view pattern;
    Parameter parameter;
    Reply (Session::*run)(double number);
  };
  static std::span<const Command> Commands();
  struct Call {
    const Command* command;
    double number;
  };

  std::string Run(std::string_view line);
  // The line's commands found in the table with their parameters read; nullopt (the
  // error queued) when any one is not, so nothing of the line runs.
  std::optional<std::vector<Call>> Resolve(std::span<const ProgramUnit> units);
  // Runs the current line's calls from the next one, until its end or a wait.
  std::string Continue();
  void AddError(int code, std::string_view message);
  void QueueNoLink();
  bool Running();

  Reply Identify(double);
  Reply OperationComplete(double);
  Reply ClearStatus(double);
  Reply NextError(double);
  Reply SetSize(double mm);
  Reply QuerySize(double);
  Reply StopMotion(double);
  Reply StartInitialise(double);
  Reply QueryMoving(double);
  Reply QueryLink(double);
  Reply QueryController(double);
  Reply QueryState(double);

  Instrument& instrument_;
  const std::string version_;
  std::deque<std::string> errors_;  // oldest first, as answered
  // The line being run: its calls, the next to run, the answers so far joined by ';'.
  std::vector<Call> calls_;
  size_t next_ = 0;
  std::string answers_;
  bool parked_ = false;
  // Lines taken while parked; nullopt for one too long to keep, refused on its turn.
  std::deque<std::optional<std::string>> waiting_;
};

}  // namespace irisdesk::remote
