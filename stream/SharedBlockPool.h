// Internal header. The process's one block pool, the one NetStream's
// streams take their blocks from, for the library's own diagnostics and
// tests (its counters, and giving back blocks a test has made a stream
// forget).
#pragma once

#include "stream/_buff.h"

namespace YNet2 {

_buff& SharedBlockPool();

} // namespace YNet2
