// Public header.
/// @file
/// YNetVarietyMsg: one message of any body size as a single contiguous run of
/// bytes, head first, as the connection classes send it.
///
/// @class YNet2::YNetVarietyMsg
/// One message as a single run of bytes:
///
///       m_MsgHead                m_MsgData
///       |                        |
///       v                        v
///       +------------------------+--------------------------------+----------+
///       | 4-byte head            | body: m_DataSize bytes          | (spare)  |
///       +------------------------+--------------------------------+----------+
///       |<----------------------- m_BuffSize (body capacity + 4) ---------->|
///
/// An object either owns a block it allocated (malloc/free), sized for a body,
/// or lays itself over a message the caller holds (the wrapping constructor),
/// which stays the caller's. Applications read m_MsgHead and m_MsgData directly.
///
/// Ownership under copies and moves: each block is freed exactly once.
///   - A copy (copy constructor, copy assignment) never owns: it describes
///     the same bytes as its source, as a wrapping object would, and is valid
///     as long as the source keeps its block. A Resize that outgrows the bytes
///     gives the copy a block of its own.
///   - A move hands the block over: the moved-from object is left empty.
///   - Assignment releases the block the target owned before, unless the
///     source describes bytes inside that very block: then the target keeps
///     owning the block and describes the source's bytes. m_BuffSize is the
///     size the object describes; the size of the block it owns is kept
///     apart (m_AllocSize), so writes stay inside the block whatever the
///     object describes, and the block is freed once, by its owner.
///
/// Allocation failure: the object is then left without a block (null
/// pointers, sizes 0) and SetHead and SetData write nothing; Resize answers
/// false and keeps what the object held.
///
/// Not thread-safe: one object is used by one thread at a time.
#pragma once

#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API YNetVarietyMsg {
public:
    /// Empty: no block, null pointers, sizes 0.
    YNetVarietyMsg();
    /// Lays the object over a caller's message (head first): m_MsgHead :=
    /// buffer, m_MsgData := buffer + 4. Its size is unknown: m_BuffSize and
    /// m_DataSize are 0, so a Resize allocates a block of its own.
    explicit YNetVarietyMsg(void* buffer);
    /// Allocates a block for a body of bodySize bytes (contents not
    /// initialised); m_MsgData is null for a body of 0 bytes. m_DataSize is 0.
    explicit YNetVarietyMsg(int bodySize);

    /// Copies and moves, as the ownership rules above say.
    ///@{
    YNetVarietyMsg(const YNetVarietyMsg& other);
    YNetVarietyMsg(YNetVarietyMsg&& other) noexcept;
    YNetVarietyMsg& operator=(const YNetVarietyMsg& other);
    YNetVarietyMsg& operator=(YNetVarietyMsg&& other) noexcept;
    ///@}
    /// Frees the block the object owns, if any.
    ~YNetVarietyMsg();

    /// Frees the owned block, if any, and leaves the object empty; a second
    /// call does nothing. A wrapping object or a copy keeps describing its
    /// bytes (they are not its to free).
    void Release();

    /// Makes room for a body of bodySize bytes and sets m_DataSize to it. The
    /// block only grows: when it is already large enough, the block, its
    /// contents and the pointers stay. Otherwise a new block replaces the old
    /// one; nothing is carried over and the new block is not initialised.
    /// Returns false (the object unchanged) when the new block could not be
    /// allocated or bodySize is negative.
    bool Resize(int bodySize);

    /// Copies length bytes from source to m_MsgData + offset. Refused (false,
    /// nothing written) when there is no body, the range is negative, or it
    /// does not fit the size described (m_BuffSize, when known) or the block
    /// the object owns. Source and target must not overlap.
    bool SetData(int offset, const void* source, int length);

    /// Writes the four head bytes at m_MsgHead, packed as YNetMsgHead::SetHead
    /// packs them; the size is the argument as given (cut to 15 bits), the
    /// object does not compute it. Does nothing when there is no head, or
    /// when the four bytes would not fit the block the object owns.
    void SetHead(WORD size, BYTE mainID, BYTE assistantID, bool request, bool respond, bool ordinal);

    /// m_DataSize, the current body length.
    int GetDataSize() const { return m_DataSize; }
    /// Head plus current body, as the head's size field counts the message.
    int GetMsgSize() const { return m_DataSize + YNetMsgHead::HeadSize; }
    /// m_BuffSize, the size the object describes.
    int GetBuffSize() const { return m_BuffSize; }
    /// The message size of a body of bodySize bytes: bodySize + 4.
    static int Size_Data2Msg(int bodySize) { return bodySize + YNetMsgHead::HeadSize; }

    unsigned char* m_Alloc;   ///< the block this object owns; null when it owns none
    YNetMsgHead* m_MsgHead;   ///< start of the message
    unsigned char* m_MsgData; ///< start of the body, m_MsgHead + 4; null for a 0-byte body
    int m_BuffSize;           ///< block size: body capacity + 4; 0 when unknown
    int m_DataSize;           ///< current body length

private:
    // Size of the block in m_Alloc, 0 when none. Apart from m_BuffSize: an
    // owner may describe a view of its own block (see assignment).
    int m_AllocSize;
    // Allocates a block for bodySize bytes and describes it; false (nothing
    // changed) on failure. Does not free a block held before.
    bool Alloc(int bodySize);
    void Clear();
    bool Describes(const YNetVarietyMsg& other) const;
    // True when the object owns no block (nothing to hold the write to), or
    // when length bytes from at + offset (both not negative) lie inside the
    // block it owns.
    bool FitsBlock(const void* at, int offset, int length) const;
};

} // namespace YNet2
