#pragma once
// Commands waiting for the controller. The window's thread and the link worker both
// insert; the worker takes the oldest out. Every operation locks, so the two threads
// never see the deque half-changed.
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>

#include "link/WireProtocol.h"

namespace irisdesk {

// One queued command: the frame's first nine characters verbatim and the parameter in
// host byte order. Packed to 13 bytes, the record's wire-independent layout.
struct [[gnu::packed]] QueuedCommand {
  char header[4];
  char marker[2];
  char code[3];
  uint32_t parameter;

  static QueuedCommand Make(std::string_view code, uint32_t parameter);
  std::string_view Code() const { return {code, 3}; }
  Frame ToFrame() const;
};
static_assert(sizeof(QueuedCommand) == 13);

class CommandQueue {
 public:
  // A drain that finds more than this many records left after a send drops them all.
  static constexpr size_t kOverflowLimit = 50;

  void PushFront(const QueuedCommand& command);
  // As PushFront, but a move that would go right behind an unsent move takes its
  // place: only the newer target matters, and a client sending sizes faster than the
  // link sends frames cannot grow the queue.
  void PushFrontReplacingMove(const QueuedCommand& command);
  // Removes and returns the oldest record.
  std::optional<QueuedCommand> TakeBack();
  // Removes everything when more than kOverflowLimit records remain; true if it did.
  bool ClearIfOverflowing();
  void Clear();
  size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  mutable std::mutex mutex_;
  std::deque<QueuedCommand> records_;
};

}  // namespace irisdesk
