#pragma once

namespace irisdesk {

// Lets the link worker run ahead of ordinary work, so a busy desktop does not stretch
// the reply window. A no-op where raising needs privileges (Linux).
void RaiseCurrentThreadPriority();

}  // namespace irisdesk
