#include "link/CommandQueue.h"

#include <algorithm>
#include <cstring>

namespace irisdesk {

QueuedCommand QueuedCommand::Make(std::string_view code, uint32_t parameter) {
  QueuedCommand c{};
  std::memcpy(c.header, kCommandHeader.data(), 4);
  std::memcpy(c.marker, kMarker.data(), 2);
  std::memcpy(c.code, code.data(), std::min<size_t>(code.size(), 3));
  c.parameter = parameter;
  return c;
}

Frame QueuedCommand::ToFrame() const {
  Frame f = EncodeCommand(Code(), parameter);
  // The record's own header and marker travel as they are.
  std::memcpy(f.data(), header, 4);
  std::memcpy(f.data() + 4, marker, 2);
  return f;
}

void CommandQueue::PushFront(const QueuedCommand& command) {
  std::lock_guard lock(mutex_);
  records_.push_front(command);
}

void CommandQueue::PushFrontReplacingMove(const QueuedCommand& command) {
  std::lock_guard lock(mutex_);
  if (!records_.empty() && records_.front().Code() == kCodeMove && command.Code() == kCodeMove)
    records_.front() = command;
  else
    records_.push_front(command);
}

std::optional<QueuedCommand> CommandQueue::TakeBack() {
  std::lock_guard lock(mutex_);
  if (records_.empty()) return std::nullopt;
  QueuedCommand c = records_.back();
  records_.pop_back();
  return c;
}

bool CommandQueue::ClearIfOverflowing() {
  std::lock_guard lock(mutex_);
  if (records_.size() <= kOverflowLimit) return false;
  records_.clear();
  return true;
}

void CommandQueue::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

size_t CommandQueue::Size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace irisdesk
