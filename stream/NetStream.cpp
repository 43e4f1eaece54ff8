#include "stream/NetStream.h"

#include "framework/Log.h"
#include "stream/LockHolder.h"
#include "stream/SharedBlockPool.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

namespace YNet2 {

namespace {

// Built at load, pool first; destroyed at unload in the reverse order.
_buff g_Pool;

} // namespace

_buff& NetStream::m_Buff = g_Pool;
EndConnectMsg NetStream::m_EndConnectMsg;

_buff& SharedBlockPool() {
    return g_Pool;
}

namespace {

constexpr ULONG kBlockBytes = _block::Size;
constexpr ULONG kHeadBytes = YNetMsgHead::HeadSize;
constexpr ULONG kMaxMsgBytes = YNetMsgHead::MaxMsgSize;

// The head's size field (YNetMsgHead::GetSize), read inline as one 16-bit
// load: it is read three times per message on the stream's hot path, and
// the walk over a piece's heads waits for each read before the next.
// Needs bytes 0 and 1.
static_assert(std::endian::native == std::endian::little, "the head's size word is little-endian");
inline ULONG SizeAt(const BYTE* head) {
    WORD word;
    std::memcpy(&word, head, sizeof(word));
    return word & 0x7FFFu;
}

bool IsValidSize(ULONG size) {
    return size >= kHeadBytes && size <= kMaxMsgBytes;
}

// m_Len is written by the receiving side only and read by the consuming side
// while bytes may still be arriving: stores publish the bytes below them.
WORD LoadLen(_block* block) {
    return std::atomic_ref<WORD>(block->m_Len).load(std::memory_order_acquire);
}

void PublishLen(_block* block, ULONG len) {
    std::atomic_ref<WORD>(block->m_Len).store(static_cast<WORD>(len), std::memory_order_release);
}

LONG LoadFlag(LONG& flag) {
    return std::atomic_ref<LONG>(flag).load(std::memory_order_acquire);
}

// InterlockedExchange, inline: the consuming side claims m_Processing once
// per message, and a call into the platform layer would cost as much as
// the rest of Process_InData. The same full-barrier exchange.
inline LONG ExchangeFlag(LONG& flag, LONG value) {
    return std::atomic_ref<LONG>(flag).exchange(value, std::memory_order_seq_cst);
}

// The whole message at the start of block's unconsumed bytes, or null. Only
// bytes the receiving side has published are read.
inline YNetMsgHead* WholeMessageIn(_block* block) {
    const ULONG len = LoadLen(block);
    const ULONG offset = block->m_Offset;
    if (len < offset + kHeadBytes)
        return nullptr;
    BYTE* head = block->m_Bytes + offset;
    const ULONG size = SizeAt(head);
    if (!IsValidSize(size) || size > len - offset)
        return nullptr;
    return reinterpret_cast<YNetMsgHead*>(head);
}

// "... more data received than was asked for" and "... an erroneous message
// was received along with more data than was asked for", in GBK.
const char kMoreThanAsked[] = "NetStream::Analyse_InData() "
                              "\xBD\xD3\xCA\xD5\xB5\xBD\xB1\xC8\xD2\xAA\xC7\xF3\xB8\xFC\xB6\xE0\xB5\xC4\xCA\xFD\xBE\xDD"
                              "\xA3\xA1";
const char kMoreThanAskedBadMsg[] = "NetStream::Analyse_InData() "
                                    "\xBD\xD3\xCA\xD5\xB5\xBD\xB1\xC8\xD2\xAA\xC7\xF3\xB8\xFC\xB6\xE0\xB5\xC4\xCA\xFD"
                                    "\xBE\xDD\xCA\xB1\xA3\xAC\xBD\xD3\xCA\xD5\xB5\xBD\xB4\xED\xCE\xF3\xCF\xFB\xCF\xA2"
                                    "!";

} // namespace

NetStream::NetStream()
    : m_PartLen(0), m_PartHead(nullptr), m_Partial(0), m_Processing(0), m_Ended(0), m_First(nullptr),
      m_Receiving(nullptr), m_ReceivingLen(0), m_Spare(nullptr), m_Newest(nullptr) {
    InitializeCriticalSection(&m_Lock);
}

NetStream::~NetStream() {
    Release();
    DeleteCriticalSection(&m_Lock);
}

// ---------------------------------------------------------------- receiving side

// The room is counted from the receiving side's own copy of the block's
// length: a block filled to its end may already be back in the pool.
_block* NetStream::Request(_block* block, ULONG len) {
    if (block != nullptr && len != 0 && block == m_Receiving && kBlockBytes - m_ReceivingLen >= len)
        return block;
    return TakeBlock();
}

// Appends the spare block, or one from the pool. A pending message moves to its start, and
// its incomplete copy is cut off the block it leaves, so the consumer finds
// that block ending with its last whole message. The copy is made before the
// block is appended: from then on the consumer may give the old block back.
_block* NetStream::TakeBlock() {
    _block* fresh = std::atomic_ref<_block*>(m_Spare).exchange(nullptr, std::memory_order_acq_rel);
    if (fresh != nullptr) {
        fresh->m_Len = 0;
        fresh->m_Offset = 0;
    } else if ((fresh = m_Buff.Add()) == nullptr) {
        return nullptr;
    }
    const bool moving = m_Partial != 0;
    if (moving) {
        std::memcpy(fresh->m_Bytes, m_PartHead, m_PartLen);
        fresh->m_Len = static_cast<WORD>(m_PartLen);
    }
    {
        LockHolder hold(&m_Lock);
        if (m_Blocks.Add(fresh) == nullptr) {
            hold.Unlock();
            GiveBack(fresh);
            return nullptr;
        }
        std::atomic_ref<_block*>(m_Newest).store(fresh, std::memory_order_release);
        if (m_Blocks.m_Count == 1)
            StoreFirst();
        if (moving) {
            if (_block* old = BlockHolding(m_PartHead))
                PublishLen(old, static_cast<ULONG>(m_PartHead - old->m_Bytes));
            m_PartHead = fresh->m_Bytes;
        }
    }
    m_Receiving = fresh;
    m_ReceivingLen = moving ? m_PartLen : 0;
    return fresh;
}

// The held block whose bytes contain position; m_Lock is held.
_block* NetStream::BlockHolding(const BYTE* position) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(position);
    YLink<_block*, 4, 4>::Node* node = m_Blocks.m_Head;
    for (DWORD i = 0; i < m_Blocks.m_Count; ++i, node = node->m_Next) {
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(node->m_Value->m_Bytes);
        if (at >= begin && at < begin + kBlockBytes)
            return node->m_Value;
    }
    return nullptr;
}

int NetStream::Analyse_InData(ULONG len, _block* block, ULONG& remaining) {
    if (block == nullptr || block != m_Receiving)
        return -1; // not the block Request gave out last
    const ULONG have = m_ReceivingLen;
    if (len > kBlockBytes - have)
        return -1; // the bytes cannot lie in the block
    BYTE* start = block->m_Bytes + have;
    if (m_Partial != 0) {
        if (len == 0)
            return 0;
        int result = ContinuePending(len, start, remaining);
        if (result >= 0)
            Publish(block, have + len);
        return result;
    }
    if (len == 0) {
        remaining = 0;
        return 0;
    }

    // Walk the heads; every one is checked before anything changes.
    BYTE* head = start;
    ULONG rest = len;
    for (int heads = 1;; ++heads) {
        if (rest < 2) {
            // Only the head's first byte has arrived: ask for the rest of
            // the head, whose size is read once it is there.
            m_PartLen = rest;
            m_PartHead = head;
            m_Partial = 1;
            remaining = kHeadBytes - rest;
            Publish(block, have + len);
            return heads == 1 ? 0 : heads;
        }
        const ULONG size = SizeAt(head);
        if (!IsValidSize(size))
            return -1;
        if (size == rest) {
            m_PartLen = 0;
            m_PartHead = nullptr;
            remaining = 0;
            Publish(block, have + len);
            return heads;
        }
        if (size > rest) {
            m_PartLen = rest;
            m_PartHead = head;
            m_Partial = 1;
            remaining = size - rest;
            Publish(block, have + len);
            return heads == 1 ? 0 : heads;
        }
        rest -= size;
        head += size;
    }
}

// The receiving side's new length of its block, for both sides.
void NetStream::Publish(_block* block, ULONG len) {
    m_ReceivingLen = len;
    PublishLen(block, len);
}

// The len bytes at start continue the pending message; nothing in them is
// parsed but the size word when the head itself was incomplete. The caller
// publishes the bytes when the result is not -1.
int NetStream::ContinuePending(ULONG len, BYTE* start, ULONG& remaining) {
    if (m_PartHead + m_PartLen != start)
        return -1; // not received behind the pending bytes
    const ULONG missing = m_PartLen >= 2 ? SizeAt(m_PartHead) - m_PartLen : kHeadBytes - m_PartLen;
    if (remaining != missing)
        return -1; // not the counter this stream gave out
    if (len > remaining) {
        Debug(kMoreThanAsked);
        Debug(kMoreThanAskedBadMsg);
        return -1;
    }
    const ULONG part = m_PartLen + len;
    ULONG still = remaining - len;
    if (m_PartLen < 2) {
        const ULONG size = SizeAt(m_PartHead);
        if (!IsValidSize(size))
            return -1;
        still = size - part; // part is at most 4, the smallest valid size
    }
    if (still == 0) {
        m_Partial = 0;
        m_PartLen = 0;
        m_PartHead = nullptr;
        remaining = 0;
        return 1;
    }
    m_PartLen = part;
    remaining = still;
    return 0;
}

void NetStream::EndConnect() {
    InterlockedExchange(&m_Ended, 1);
}

// ---------------------------------------------------------------- consuming side

// m_First is the block list's first value at all times: both sides write it
// under m_Lock whenever the first block changes, and the consuming side reads
// it without the lock on its way to the next message.
inline _block* NetStream::LoadFirst() {
    return std::atomic_ref<_block*>(m_First).load(std::memory_order_acquire);
}

void NetStream::StoreFirst() {
    std::atomic_ref<_block*>(m_First).store(m_Blocks.First(), std::memory_order_release);
    if (m_Blocks.m_Count == 0)
        std::atomic_ref<_block*>(m_Newest).store(nullptr, std::memory_order_release);
}

// True once the receiving side will never append to the first block again:
// it has taken a later block (and moved any pending bytes out), the
// connection has ended, or the block is full and wholly consumed. A full
// block that still ends with a pending message is not left: Request copies
// those bytes out of it. m_Lock is held, so the block's last m_Len is visible
// afterwards.
bool NetStream::ReceivingHasLeft(_block* first) {
    return m_Blocks.m_Count >= 2 || LoadFlag(m_Ended) != 0 || IsFullAndConsumed(first);
}

bool NetStream::IsFullAndConsumed(_block* block) {
    return block->m_Offset == kBlockBytes && LoadLen(block) == kBlockBytes;
}

// Takes the first block off the list; m_Lock is held. Returns the block the
// caller gives back to the pool once it has left m_Lock (the pool's lock is
// never taken inside the stream's here, so a busy pool does not stall the
// stream's other users), or null. A full, consumed block that is still the
// receiving side's is not given back: it becomes the stream's spare, handed
// out again by the next Request (the receiving side may still look at it
// until then, so it must not reach another stream meanwhile), and the spare
// it replaces is given back instead.
_block* NetStream::RetireFirst(_block* first) {
    m_Blocks.Remove(first);
    StoreFirst();
    if (m_Blocks.m_Count == 0 && LoadFlag(m_Ended) == 0 && IsFullAndConsumed(first))
        return std::atomic_ref<_block*>(m_Spare).exchange(first, std::memory_order_acq_rel);
    return first;
}

void NetStream::GiveBack(_block* block) {
    LockHolder pool(&m_Buff.m_Lock);
    m_Buff.Remove(block);
}

// The slow way to the next message: gives back first blocks that are
// consumed and left by the receiving side (a message cut short by the end of
// the connection goes with its block). With no block left, the
// end-of-connection head if the stream has ended: m_Ended is taken under
// m_Lock, so a block appended before EndConnect cannot be missed.
YNetMsgHead* NetStream::FindMessage() {
    if (NothingToFind(LoadFirst()))
        return nullptr;
    for (;;) {
        _block* retired;
        {
            LockHolder hold(&m_Lock);
            _block* first = m_Blocks.First();
            if (first == nullptr)
                return InterlockedExchange(&m_Ended, 0) == 1 ? &m_EndConnectMsg : nullptr;
            if (YNetMsgHead* message = WholeMessageIn(first))
                return message;
            if (!ReceivingHasLeft(first))
                return nullptr;
            if (YNetMsgHead* message = WholeMessageIn(first)) // its last bytes, published before it left
                return message;
            retired = RetireFirst(first);
        }
        if (retired != nullptr)
            GiveBack(retired);
    }
}

// The common answer of FindMessage, without m_Lock: the stream has not
// ended, and it holds no block or only the one the receiving side is still
// appending to, which holds no whole message. A block or the end that
// arrives meanwhile is found by the next call. Only the claim holder retires
// blocks, so first stays valid here.
inline bool NetStream::NothingToFind(_block* first) {
    if (LoadFlag(m_Ended) != 0)
        return false;
    if (first == nullptr)
        return true;
    return first == std::atomic_ref<_block*>(m_Newest).load(std::memory_order_acquire) && !IsFullAndConsumed(first) &&
           WholeMessageIn(first) == nullptr;
}

YNetMsgHead* NetStream::Process_InData() {
    if (ExchangeFlag(m_Processing, 1) == 1)
        return nullptr;
    if (_block* first = LoadFirst()) {
        if (YNetMsgHead* message = WholeMessageIn(first))
            return message;
    }
    // A message keeps m_Processing at 1 until BrushMsg; the end-of-connection
    // head keeps it there until Clear: the stream is finished.
    if (YNetMsgHead* message = FindMessage())
        return message;
    ExchangeFlag(m_Processing, 0);
    return nullptr;
}

// The message Process_InData handed out (m_Processing 1) was whole when
// handed out and its bytes do not change: it is consumed without checking
// it again. Without one, the first message is checked first.
void NetStream::BrushMsg() {
    _block* first = LoadFirst();
    ULONG size = 0;
    if (LoadFlag(m_Processing) != 0 && first != nullptr) {
        size = SizeAt(first->m_Bytes + first->m_Offset);
    } else {
        YNetMsgHead* message = first != nullptr ? WholeMessageIn(first) : nullptr;
        if (message == nullptr) {
            YRet(E_FAIL, "NetStream::BrushMsg() fail!");
            InterlockedExchange(&m_Processing, 0);
            return;
        }
        size = SizeAt(reinterpret_cast<const BYTE*>(message));
    }
    ConsumeFirst(first, size);
    // Giving the consuming side up needs only release order (the next
    // claimant's exchange acquires it); a full exchange here would cost as
    // much as the rest of BrushMsg.
    std::atomic_ref<LONG>(m_Processing).store(0, std::memory_order_release);
}

// Consumes the first size bytes of first's unconsumed ones (whole messages);
// a block consumed to its end goes back once the receiving side has left it.
inline void NetStream::ConsumeFirst(_block* first, ULONG size) {
    first->m_Offset = static_cast<WORD>(first->m_Offset + size);
    if (first->m_Offset == LoadLen(first)) {
        _block* retired = nullptr;
        {
            LockHolder hold(&m_Lock);
            if (ReceivingHasLeft(first) && first->m_Offset == LoadLen(first))
                retired = RetireFirst(first);
        }
        if (retired != nullptr)
            GiveBack(retired);
    }
}

// The run reaches to the block's published length when it is handed out;
// the bytes below it do not change until they are consumed. Next stops
// before a message whose last bytes lie beyond (still arriving, or an
// incomplete copy the receiving side cut off the block afterwards). A run
// still held goes on under the same claim: the exchange that claims the
// stream is made once per holder, not once per run.
bool NetStream::Process_Run(NetMsgRun& run) {
    if (IsEndConnectHead(reinterpret_cast<const YNetMsgHead*>(run.m_Begin)))
        return false; // the claim stays: the stream is finished
    if (run.m_Begin != nullptr) {
        if (!ConsumeRun(run))
            return false;
    } else if (ExchangeFlag(m_Processing, 1) == 1) {
        return false;
    }
    _block* first = LoadFirst();
    YNetMsgHead* message = first != nullptr ? WholeMessageIn(first) : nullptr;
    if (message == nullptr) {
        if ((message = FindMessage()) == nullptr) {
            std::atomic_ref<LONG>(m_Processing).store(0, std::memory_order_release); // as BrushMsg gives it up
            return false;
        }
        if (IsEndConnectHead(message)) { // the claim stays: the stream is finished
            run.m_Begin = run.m_At = reinterpret_cast<BYTE*>(message);
            run.m_End = run.m_Begin + YNetMsgHead::HeadSize;
            return true;
        }
        first = LoadFirst(); // the block FindMessage found it in, first while we hold the claim
    }
    run.m_Begin = run.m_At = reinterpret_cast<BYTE*>(message);
    run.m_End = first->m_Bytes + LoadLen(first);
    return true;
}

void NetStream::BrushRun(NetMsgRun& run) {
    if (IsEndConnectHead(reinterpret_cast<const YNetMsgHead*>(run.m_Begin))) {
        if (run.m_At != run.m_Begin)
            return; // Next handed the end out: the stream is finished
        // Stopped before the end head: it stays for the next holder, as any
        // message a run did not hand out does.
        run.m_Begin = run.m_At = run.m_End = nullptr;
        InterlockedExchange(&m_Ended, 1);
        std::atomic_ref<LONG>(m_Processing).store(0, std::memory_order_release);
        return;
    }
    if (ConsumeRun(run))
        std::atomic_ref<LONG>(m_Processing).store(0, std::memory_order_release);
}

// Consumes what run.Next() handed out, keeping the claim, and spends the
// run. False, with a log line, for a run this stream did not hand out to
// the current holder.
bool NetStream::ConsumeRun(NetMsgRun& run) {
    _block* first = LoadFirst();
    if (LoadFlag(m_Processing) == 0 || first == nullptr || run.m_Begin != first->m_Bytes + first->m_Offset ||
        run.m_At < run.m_Begin || run.m_At > run.m_End) {
        YRet(E_FAIL, "NetStream::BrushRun() fail!");
        return false;
    }
    const ULONG consumed = static_cast<ULONG>(run.m_At - run.m_Begin);
    run.m_Begin = run.m_At = run.m_End = nullptr; // spent: a second BrushRun fails
    if (consumed != 0)
        ConsumeFirst(first, consumed);
    return true;
}

bool NetStream::IsEndConnectHead(const YNetMsgHead* head) {
    return head == &m_EndConnectMsg;
}

_block* NetStream::GetFirstNode() {
    LockHolder hold(&m_Lock);
    return m_Blocks.First();
}

bool NetStream::IsProcess() {
    return LoadFlag(m_Processing) != 0;
}

// ---------------------------------------------------------------- reuse

void NetStream::Clear() {
    m_Partial = 0;
    LockHolder hold(&m_Lock);
    m_Blocks.Reset();
    StoreFirst();
    m_Receiving = nullptr;
    m_ReceivingLen = 0;
    InterlockedExchange(&m_Processing, 0);
    InterlockedExchange(&m_Ended, 0);
    m_PartLen = 0;
    m_PartHead = nullptr;
}

void NetStream::Release() {
    m_Partial = 0;
    LockHolder hold(&m_Lock);
    if (_block* spare = std::atomic_ref<_block*>(m_Spare).exchange(nullptr, std::memory_order_acq_rel))
        GiveBack(spare);
    if (m_Blocks.m_Count == 0)
        return;
    YLink<_block*, 4, 4>::Node* node = m_Blocks.m_Head;
    for (DWORD i = 0; i < m_Blocks.m_Count; ++i, node = node->m_Next) {
        if (node->m_Value != nullptr) {
            LockHolder pool(&m_Buff.m_Lock);
            m_Buff.Remove(node->m_Value);
        }
    }
    m_Blocks.Reset();
    StoreFirst();
    m_Receiving = nullptr;
    m_ReceivingLen = 0;
}

} // namespace YNet2
