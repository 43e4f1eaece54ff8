// Internal header. Replaces the system call behind YThread::CreateThread, so
// that tests can make the creation of a thread fail.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

// The system's CreateThread, or a replacement with its signature and
// results (null, with GetLastError set, when no thread was created).
using YThreadStarter = decltype(&::CreateThread);

// Installs starter for every thread created from now on; null restores the
// system's CreateThread. Any thread may call it.
void SetYThreadStarter(YThreadStarter starter);

} // namespace YNet2
