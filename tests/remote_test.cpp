// The remote command language over a fake instrument: lines in, answer lines and the
// instrument's calls out, and the error queue read back as a client reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote/Session.h"
#include "settings/NumberText.h"

namespace irisdesk::remote {
namespace {

using Link = InstrumentState::Link;

class FakeInstrument : public Instrument {
 public:
  InstrumentState state{Link::Connected, 3.5, StatusReply{36000, 0x04}, false};
  std::string calls;  // what the session asked for, in order

  InstrumentState State() override { return state; }
  std::optional<ControllerEntry> Controller() override {
    if (!Open()) return std::nullopt;
    return ControllerEntry{"VRX-330 \"B\"", "FT1A2B3C", "/dev/ttyUSB1"};
  }
  bool Size(double mm) override { return Call("size " + FormatFixed(mm, 3), true); }
  bool Stop() override { return Call("stop", false); }
  bool Initialise() override { return Call("init", true); }

 private:
  bool Open() const { return state.link == Link::Connected || state.link == Link::NoFeedback; }
  bool Call(const std::string& what, bool busy) {
    if (!Open()) return false;
    calls += calls.empty() ? what : "; " + what;
    state.busy = busy;
    return true;
  }
};

// A line taken, or "@<state>": the instrument's state changed, and Resume.
struct Step {
  std::string line;
  std::string answer;
  std::string calls = "";
};

void Walk(const std::vector<Step>& steps) {
  FakeInstrument instrument;
  Session session(instrument, "1.0.0.1");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.line.substr(0, 60));
    instrument.calls.clear();
    std::string answer;
    if (step.line == "@idle")
      instrument.state.busy = false;
    else if (step.line == "@disconnected")
      instrument.state = {Link::Disconnected, std::nullopt, std::nullopt, instrument.state.busy};
    else if (step.line == "@nofeedback")
      instrument.state.link = Link::NoFeedback;
    else if (step.line == "@connected")
      instrument.state.link = Link::Connected;
    if (step.line[0] == '@')
      answer = session.Resume();
    else
      answer = session.Take(step.line);
    EXPECT_EQ(answer, step.answer);
    EXPECT_EQ(instrument.calls, step.calls);
  }
}

const std::string kNoError = "0,\"No error\"";
std::string Errors(int n) {
  std::string line = "SYST:ERR?";
  for (int i = 1; i < n; ++i) line += ";SYST:ERR?";
  return line;
}

TEST(RemoteTest, ConnectedLinesAnswerInOneLineAndRefusedLinesRunNothing) {
  Walk({
      {"*IDN?", "Kavro,VRX-330,FT1A2B3C,1.0.0.1\n"},
      {"size 2;*opc?;size?", "", "size 2.000"},  // parked on *OPC? while moving
      {"MOV?", ""},                              // waits behind the parked line
      {"@connected", ""},                        // still moving
      {"@idle", "1;3.50\n0\n"},
      {"SYSTem:ERRor?;system:error:next?;SYST:ERR:NEXT?;:Syst:Err?",
       "0,\"No error\";" + kNoError + ";" + kNoError + ";" + kNoError + "\n"},
      {"SIZE .5;SIZE +2;SIZE 3.50E0;SIZE 14;size 1.;", "",
       "size 0.500; size 2.000; size 3.500; size 14.000; size 1.000"},
      {"SIZE 0;@idle", "", ""},  // refused whole: '@' is no header character
      {"SIZE -0;INIT;INITIALISE;Initialize", "", "init; init; init; init"},
      {"  LINK? ;\tMOVING?  ", "CONNECTED;1\n"},
      {"SYST:CONT?;STATE?", "\"VRX-330 \"\"B\"\"\",\"FT1A2B3C\",\"/dev/ttyUSB1\";36000,4\n"},
      {"*CLS;SIZE 3;STOP", "", "size 3.000; stop"},  // no query, no answer
      // Each refused: nothing of the line runs, one error each.
      {"SIZE 14.01", ""},
      {"SIZE -0.5;STOP", "", "stop"},  // execution errors leave the rest running
      {"SIZE 3,5", ""},
      {"SIZE 3;SIZE", ""},
      {"STOP 1;SIZE 3", ""},
      {"SIZE 2;SYSTE:ERR?;*OPC?", ""},
      {"SIZE 2;INITI", ""},
      {"SIZE=3", ""},
      {"SIZE \"3;4\"", ""},
      {"SIZE \"3;*IDN?", ""},
      {std::string("*IDN?\0", 6), ""},
      {"*IDN?;SIZE 2\xC3\x28", ""},
      {"*IDN?;SIZE 2 \xED\xA0\x80", ""},  // a surrogate
      {"STOP" + std::string(kMaxLineBytes - 3, ' '), ""},
      {Errors(12),
       "-222,\"Data out of range\";-222,\"Data out of range\";-104,\"Data type error\";"
       "-109,\"Missing parameter\";-108,\"Parameter not allowed\";-113,\"Undefined header\";"
       "-113,\"Undefined header\";-102,\"Syntax error\";-104,\"Data type error\";"
       "-102,\"Syntax error\";-102,\"Syntax error\";-102,\"Syntax error\"\n"},
      {Errors(3) + std::string(kMaxLineBytes - 29 - 5, ' ') + ";STOP",  // a whole 4 KiB line runs
       "-102,\"Syntax error\";-102,\"Syntax error\";" + kNoError + "\n", "stop"},
  });
}

TEST(RemoteTest, WithoutALinkCommandsQueueHardwareErrorsAndNothingWaits) {
  std::vector<Step> steps = {
      {"@disconnected", ""},
      {"SIZE 3;SIZE 0;INIT;STOP;SIZE?;*OPC?;MOV?;LINK?;*IDN?",
       "9.91E37;1;0;DISCONNECTED;Kavro,VRX-330,0,1.0.0.1\n"},
      {Errors(6),
       "-240,\"Hardware error;DISCONNECTED\";-240,\"Hardware error;DISCONNECTED\";"
       "-240,\"Hardware error;DISCONNECTED\";-240,\"Hardware error;DISCONNECTED\";"
       "-240,\"Hardware error;DISCONNECTED\";" +
           kNoError + "\n"},
      // No feedback: the panel's controls are off, but a stop still goes out.
      {"@nofeedback", ""},
      {"SIZE 3;STOP;SIZE?;MOV?;*OPC?", "9.91E37;0;1\n", "stop"},
      {Errors(3), "-240,\"Hardware error;NOFEEDBACK\";-240,\"Hardware error;NOFEEDBACK\";" + kNoError + "\n"},
      // A link lost during a wait ends it.
      {"@connected", ""},
      {"INIT;*OPC?;LINK?", "", "init"},
      {"@disconnected", "1;DISCONNECTED\n"},
  };
  // A full error queue says so in its last entry; lines beyond those that can wait
  // behind a parked one are lost, and said so.
  for (size_t i = 0; i < Session::kMaxErrors + 3; ++i) steps.push_back({"BOGUS", ""});
  steps.push_back({Errors(Session::kMaxErrors - 1), ""});
  for (size_t i = 0; i < Session::kMaxErrors - 1; ++i) steps.back().answer += "-113,\"Undefined header\";";
  steps.back().answer.back() = '\n';
  steps.push_back({"@connected", ""});
  steps.push_back({"INIT;*OPC?", "", "init"});
  for (size_t i = 0; i < Session::kMaxWaitingLines; ++i) steps.push_back({"LINK?", ""});
  steps.push_back({Errors(3), ""});
  steps.push_back({"@idle", "1\n" + [] {
                     std::string lines;
                     for (size_t i = 0; i < Session::kMaxWaitingLines; ++i) lines += "CONNECTED\n";
                     return lines;
                   }()});
  steps.push_back({Errors(3), "-350,\"Queue overflow\";-363,\"Input buffer overrun\";" + kNoError + "\n"});
  Walk(steps);
}

}  // namespace
}  // namespace irisdesk::remote
