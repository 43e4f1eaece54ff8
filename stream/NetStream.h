// Public header.
/// @file
/// NetStream: reassembles one connection's bytes, received in pieces of any
/// size into pool blocks, into whole messages handed out in place.
#pragma once

#include "message/EndConnectMsg.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "stream/NetMsgRun.h"
#include "stream/YLink.h"
#include "stream/_block.h"
#include "stream/_buff.h"

namespace YNet2 {

/// Two sides, each on one thread at a time:
///
/// Receiving side (one thread per stream), for every receive:
///
///      want   = remaining != 0 ? remaining : a read size from 1 to 2880;
///      block  = Request(block, want);        // null the first time; null result:
///                                            // no memory, nothing changed
///      n      = receive at most want bytes into block->m_Bytes + block->m_Len
///               (never more than 2880 - block->m_Len);
///      result = Analyse_InData(n, block, remaining);
///               // >= 1 whole messages are ready, 0 more bytes are needed,
///               // -1 the bytes do not form messages: end the connection
///      and when the connection has ended: EndConnect(), its last call.
///
/// Consuming side (any thread, one holder at a time):
///
///      head = Process_InData();   // null: nothing now, or another holder
///      if head is the end-of-connection head: finished (IsEndConnect() tells it
///      by its main ID 0; IsEndConnectHead() tells it apart from a received
///      message that carries main ID 0 too)
///      else use the size(head) bytes at head, then BrushMsg().
///
/// or, by runs of messages under one claim (the same claim: one holder at a
/// time, whichever way it consumes):
///
///      NetMsgRun run;
///      while (Process_Run(run))        // false: nothing (more) now, or another
///                                      // holder; the claim is given up
///          while (head = run.Next())   // in place, in order
///              if end-of-connection head: finished (the loop ends with it)
///              else use the size(head) bytes at head;
///      and to stop early: BrushRun(run) consumes what Next handed out and
///      gives the claim up.
///
/// Every whole message is handed out once, in order, and the end-of-connection
/// head once, after the last one. A block goes back to the pool as soon as it
/// is consumed and the receiving side has moved on to a later block or ended.
/// A block filled to its end and consumed while the receiving side still
/// holds it stays with the stream, empty, and is the block the next Request
/// hands out (it never reaches another stream in between); Release gives it
/// back.
///
/// Ending and reuse, with neither side active: Release() gives every block
/// back to the pool, Clear() resets the stream for another connection. The
/// destructor gives back blocks still held. Streams are not copyable: a copy
/// would share the lock and the block list of the original.
class YNET_API NetStream {
public:
    NetStream();
    ~NetStream();
    NetStream(const NetStream&) = delete;
    NetStream& operator=(const NetStream&) = delete;

    /// Receiving side. The block to receive len bytes into: block itself when
    /// its room holds len, otherwise (and always when block is null or len 0)
    /// a new block from the pool, appended to this stream. A message still
    /// arriving moves with it to the start of the new block. Null when the
    /// pool or the block list cannot grow; the stream is then unchanged.
    _block* Request(_block* block, ULONG len);

    /// Receiving side. len bytes have arrived at block->m_Bytes + block->m_Len,
    /// in the block the last Request returned. Result: the number of heads in
    /// them (an incomplete last one included; 0 when they only continue or
    /// begin one message and do not complete it, 1 when they complete it), or
    /// -1 for bytes that do not form messages: a size below 4 or above 1440,
    /// more bytes than the pending message lacks, bytes that do not fit the
    /// block. On -1 nothing is counted and nothing changes. remaining is the
    /// caller's counter of bytes still missing; it starts at 0.
    int Analyse_InData(ULONG len, _block* block, ULONG& remaining);

    /// Consuming side. The next whole message, in place; the end-of-connection
    /// head once the stream has ended and holds nothing more; or null.
    YNetMsgHead* Process_InData();

    /// Consuming side. Consumes the message Process_InData returned.
    void BrushMsg();

    /// Consuming side, under the claim Process_InData takes: fills run with
    /// every whole message of the block messages are read from (at least
    /// one), or with the end-of-connection head alone once the stream has
    /// ended and holds nothing more. A run it handed out before and that is
    /// still held is consumed first (what Next handed out of it) and the
    /// claim is kept. False: nothing (more) now, and the claim is given up;
    /// or another consumer holds the stream; or the stream is finished.
    bool Process_Run(NetMsgRun& run);

    /// Consuming side. Consumes the messages run.Next() handed out, none,
    /// some or all of the run (the rest stay first for the next holder), and
    /// gives the claim up. After Next handed out the end-of-connection head
    /// it does nothing: the stream is finished (a run stopped before that
    /// head leaves it for the next holder). A run this stream did not hand out to the
    /// current holder: "NetStream::BrushRun() fail!", nothing changes.
    void BrushRun(NetMsgRun& run);

    /// The block messages are read from, or null.
    _block* GetFirstNode();

    /// True while a consumer holds a message (and after the end-of-connection
    /// head has been handed out, until Clear).
    bool IsProcess();

    /// Receiving side, last call: no more bytes will arrive.
    void EndConnect();

    /// Forgets every block without giving it back to the pool and resets all
    /// state. Neither side may be active.
    void Clear();

    /// Gives every block back to the pool. Neither side may be active.
    void Release();

    /// True exactly for the end-of-connection head Process_InData hands out.
    static bool IsEndConnectHead(const YNetMsgHead* head);

private:
    _block* LoadFirst();
    void StoreFirst();
    YNetMsgHead* FindMessage();
    bool NothingToFind(_block* first);
    void ConsumeFirst(_block* first, ULONG size);
    bool ConsumeRun(NetMsgRun& run);
    bool ReceivingHasLeft(_block* first);
    bool IsFullAndConsumed(_block* block);
    _block* RetireFirst(_block* first);
    void GiveBack(_block* block);
    _block* TakeBlock();
    _block* BlockHolding(const BYTE* position);
    int ContinuePending(ULONG len, BYTE* start, ULONG& remaining);
    void Publish(_block* block, ULONG len);

    YLink<_block*, 4, 4> m_Blocks; // in the order taken; messages are read from the first
    CRITICAL_SECTION m_Lock;       // guards m_Blocks
    DWORD m_PartLen;               // receiving side: bytes of the pending message received
    BYTE* m_PartHead;              // receiving side: its head, or null
    BYTE m_Partial;                // receiving side: 1 while a message is pending
    LONG m_Processing;             // 1 while a consumer holds a message (claimed by exchange)
    LONG m_Ended;                  // 1 from EndConnect until the end head is handed out
    _block* m_First;               // the block list's first value, read without m_Lock
    _block* m_Receiving;           // receiving side: the block Request gave out last
    ULONG m_ReceivingLen;          // receiving side: its m_Len, never read back from a
                                   // block that may have gone back to the pool
    _block* m_Spare;               // a full, consumed block kept for the next Request
    _block* m_Newest;              // the block list's last value, read without m_Lock

    static _buff& m_Buff; // the process's one pool
    static EndConnectMsg m_EndConnectMsg;
};

} // namespace YNet2
