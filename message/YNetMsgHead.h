// Public header.
/// @file
/// YNetMsgHead: the 4-byte head of every message, in memory exactly as it
/// travels on the wire.
///
/// @class YNet2::YNetMsgHead
/// The 4-byte head of every message, in memory exactly as it travels:
///
///            byte 0              byte 1              byte 2              byte 3
///       +-----------------+-+---------------+-----------+---+---+-----------------+
///       | size bits 0..7  |O| size bits 8-14|  main ID  | P | Q |  assistant ID   |
///       +-----------------+-+---------------+-----------+---+---+-----------------+
///        7             0   7 6           0   7       2   1   0   7             0
///
///       bytes 0-1  a little-endian 16-bit word, whatever the host:
///                  bits 0-14  size of the whole message, these 4 bytes included
///                  bit 15 (O) ordinal flag
///       byte 2     bit 0 (Q)  request flag, bit 1 (P) respond flag,
///                  bits 2-7   main ID (0-63); main ID 0 marks the end of a connection
///       byte 3     assistant ID (0-255)
///
/// Every operation reads and writes the word byte by byte and never looks
/// past the 4 bytes, so a head written on one host reads the same on any
/// other. No receiver of this library accepts a size above
/// YNetMsgHead::MaxMsgSize; the sending side does not check it.
///
/// The class is trivial on purpose (no constructor, no destructor): a head
/// that has not been written by Clear or SetHead holds whatever its storage
/// held, and copying a head copies its 4 bytes. A pointer into a received
/// byte run may be used as a YNetMsgHead*.
#pragma once

#include "platform/WinApi.h"

#include <type_traits>

namespace YNet2 {

class YNET_API YNetMsgHead {
public:
    /// The largest whole message, head included; a body holds at most 1436 bytes.
    static constexpr int MaxMsgSize = 1440;
    /// The head's own size: a message of size 4 is a head without a body.
    static constexpr int HeadSize = 4;

    /// All four bytes to 0.
    void Clear();

    /// The size field (0-32767), the ordinal flag masked off.
    int GetSize() const;
    /// Size field := size AND 0x7FFF; the ordinal flag keeps its value.
    void SetSize(WORD size);

    /// The main ID, 0-63.
    BYTE GetMainID() const;
    /// Main ID := low 6 bits of id; the request and respond flags keep their values.
    void SetMainID(BYTE id);

    /// The assistant ID, the whole byte 3.
    ///@{
    BYTE GetAssistantID() const;
    void SetAssistantID(BYTE id);
    ///@}

    /// Whether the request flag is set.
    bool IsRequestMsg() const;
    /// Sets the request flag (there is no way to clear one flag: Clear or SetHead).
    void Request();

    /// Whether the respond flag is set; Respond sets it.
    ///@{
    bool IsRespondMsg() const;
    void Respond();
    ///@}

    /// Whether the ordinal flag is set; Ordinal sets it.
    ///@{
    bool IsOrdinal() const;
    void Ordinal();
    ///@}

    /// True exactly when the main ID is 0, whatever the flags, size and assistant ID.
    bool IsEndConnect() const;

    /// Writes the whole head. Values that do not fit are cut: the size to 15
    /// bits, the main ID to 6 bits.
    void SetHead(WORD size, BYTE mainID, BYTE assistantID, bool request, bool respond, bool ordinal);

private:
    unsigned char m_Bytes[4];
};

static_assert(sizeof(YNetMsgHead) == 4, "the head is its 4-byte wire image");
static_assert(std::is_trivial_v<YNetMsgHead> && std::is_standard_layout_v<YNetMsgHead>,
              "heads are copied and overlaid on received bytes as they stand");

} // namespace YNet2
