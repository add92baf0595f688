#include "link/ThreadPriority.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace irisdesk {

void RaiseCurrentThreadPriority() {
#ifdef _WIN32
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
#endif
}

}  // namespace irisdesk
