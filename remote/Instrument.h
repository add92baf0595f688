#pragma once
// What a remote client sees of the controller's link and may ask of it. The endpoint's
// adapter implements it over the panel's link (tests over a fake); the command
// language in Session only ever goes through it.
#include <optional>
#include <string>

#include "link/ControllerList.h"
#include "link/WireProtocol.h"

namespace irisdesk::remote {

struct InstrumentState {
  enum class Link { Connected, NoFeedback, Disconnected, NotFound } link = Link::Disconnected;
  std::optional<double> sizeMm;  // the last size the controller reported
  std::optional<StatusReply> status;  // and the reply that said so, as it came
  // Moving, initialising, or a motion asked for and not yet over: true from the moment
  // Size or Initialise returns true, so an *OPC? right after it waits.
  bool busy = false;
};

// Called only from the endpoint's thread.
class Instrument {
 public:
  virtual ~Instrument() = default;
  virtual InstrumentState State() = 0;
  virtual std::optional<ControllerEntry> Controller() = 0;  // the linked controller; nullopt without a link
  // Each queues the command as the panel's own button would; false: no link (nothing
  // queued).
  virtual bool Size(double mm) = 0;  // mm already checked to be within 0..14, never 0
  virtual bool Stop() = 0;
  virtual bool Initialise() = 0;
};

}  // namespace irisdesk::remote
