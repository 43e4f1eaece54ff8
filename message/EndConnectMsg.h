// Public header.
/// @file
/// EndConnectMsg: the head-only message 04 00 00 00 that a receive stream
/// hands out once its connection has ended.
#pragma once

#include "message/YNetMsgHead.h"

namespace YNet2 {

/// Usable wherever a YNetMsgHead* is expected; the consumer recognises it
/// with IsEndConnect(). The library keeps one shared, read-only instance.
class YNET_API EndConnectMsg : public YNetMsgHead {
public:
    /// Writes 04 00 00 00: size 4, main ID 0, no flags, assistant ID 0.
    /// (Every byte is written, so an instance on the stack or the heap reads
    /// the same as the shared one in zeroed static storage.)
    EndConnectMsg();
};

static_assert(sizeof(EndConnectMsg) == 4, "an end marker is a bare head");

} // namespace YNet2
