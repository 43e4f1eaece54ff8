// The table of SOCKET handles; see SocketTable.h for the contract.
#include "platform/posix/SocketTable.h"

#include <deque>
#include <mutex>
#include <vector>

#include "platform/posix/SysSocket.h"

namespace YNetPosix {
namespace {

constexpr DWORD kSlotBits = 16;
constexpr DWORD kGenerationBits = 13; // handles stay below 2^31: positive as int
constexpr DWORD kMaxSlot = (1u << kSlotBits) - 1;
constexpr DWORD kGenerationMask = (1u << kGenerationBits) - 1;
// A freed slot is taken again only from the front of a queue at least this
// long, so that every later turn of a slot passes this many new sockets:
// its generation comes round after at least 1 + (2^13 - 1) * 4096 sockets.
constexpr std::size_t kReuseQueue = 4096;
static_assert(1 + ((std::size_t{1} << kGenerationBits) - 1) * kReuseQueue >= (std::size_t{1} << 24));

// Each slot's entry is allocated when the slot is first taken and never
// freed or moved; the pointers to them lie in chunks that are allocated
// when first needed and never freed either, so a call reaches its entry
// through three loads.
constexpr DWORD kChunkBits = 8;
constexpr DWORD kChunkSlots = 1u << kChunkBits;
constexpr DWORD kChunks = (kMaxSlot + 1) / kChunkSlots;

// SocketEntry::state, one word so that a call joins, and closesocket ends
// the handle, in one compare-and-swap:
//   bits  0..19  calls in flight (holds), closesocket's own included
//   bits 20..39  of those, calls that may block sending
//   bit  40      open: the handle is valid and calls may join
//   bits 48..60  generation of the slot's current (or last) socket
typedef unsigned long long Word;
constexpr Word kCall = 1;
constexpr Word kSendCall = Word{1} << 20;
constexpr Word kCountMask = (Word{1} << 20) - 1;
constexpr Word kOpen = Word{1} << 40;
constexpr int kGenerationShift = 48;

Word CallsOf(Word word) {
    return word & kCountMask;
}
Word SendCallsOf(Word word) {
    return (word >> 20) & kCountMask;
}
DWORD GenerationOfWord(Word word) {
    return static_cast<DWORD>(word >> kGenerationShift) & kGenerationMask;
}

SOCKET MakeHandle(DWORD slot, DWORD generation) {
    return (generation << (kSlotBits + 2)) | (slot << 2);
}
DWORD SlotOf(SOCKET s) {
    return (s >> 2) & kMaxSlot;
}
DWORD GenerationOf(SOCKET s) {
    return (s >> (kSlotBits + 2)) & kGenerationMask;
}

class Table {
public:
    // Never freed; null until the chunk's first slot is taken.
    std::atomic<std::atomic<SocketEntry*>*> chunks[kChunks] = {};

    std::mutex lock;             // the fields below
    DWORD slotCount = 1;         // slot 0 is never used, so no handle is 0
    std::deque<DWORD> freeSlots; // in the order freed

    // Without a lock. The entry of the handle's slot, whatever its state;
    // null for a value that is no handle of this table.
    SocketEntry* EntryOf(SOCKET s) {
        if ((s & 3) != 0 || s != MakeHandle(SlotOf(s), GenerationOf(s)))
            return nullptr;
        DWORD slot = SlotOf(s);
        if (slot == 0)
            return nullptr;
        std::atomic<SocketEntry*>* chunk = chunks[slot >> kChunkBits].load(std::memory_order_acquire);
        return chunk != nullptr ? chunk[slot & (kChunkSlots - 1)].load(std::memory_order_acquire) : nullptr;
    }

    SocketEntry* Entry(DWORD slot) {
        return chunks[slot >> kChunkBits].load(std::memory_order_acquire)[slot & (kChunkSlots - 1)].load(
            std::memory_order_acquire);
    }

    // lock held. A free slot, or 0 when the table is full. The queue of
    // freed slots never drops below kReuseQueue - 1 once it has reached
    // kReuseQueue: a slot freed after that waits behind at least as many.
    DWORD TakeSlot() {
        if (freeSlots.size() < kReuseQueue && slotCount <= kMaxSlot) {
            DWORD slot = slotCount;
            std::atomic<std::atomic<SocketEntry*>*>& chunk = chunks[slot >> kChunkBits];
            if (chunk.load(std::memory_order_relaxed) == nullptr)
                chunk.store(new std::atomic<SocketEntry*>[kChunkSlots](), std::memory_order_release);
            SocketEntry* entry = new SocketEntry;
            entry->slot = slot;
            chunk.load(std::memory_order_relaxed)[slot & (kChunkSlots - 1)].store(entry, std::memory_order_release);
            ++slotCount;
            return slot;
        }
        if (freeSlots.size() < kReuseQueue)
            return 0;
        DWORD slot = freeSlots.front();
        freeSlots.pop_front();
        return slot;
    }
};

// Never destroyed: detached threads may still hold sockets at exit.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

// Called by whoever let go of a closed entry's last call: closes the
// descriptor (a lingering close may block; no lock is held) and frees the
// slot once that is done.
void FinishClose(SocketEntry* entry) {
    Sys::Close(entry->fd.load(std::memory_order_relaxed));
    entry->fd.store(-1, std::memory_order_relaxed);
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.freeSlots.push_back(entry->slot);
}

// Lets go of calls (the count in the low bits of `calls`); the last one to
// leave a closed entry closes its descriptor.
void LetGo(SocketEntry* entry, Word calls) {
    Word before = entry->state.fetch_sub(calls, std::memory_order_acq_rel);
    if (CallsOf(before) == CallsOf(calls) && (before & kOpen) == 0)
        FinishClose(entry);
}

// Ends the handle s of entry: false when it is not (or no longer) open.
// The descriptor closes now, or when the last call in flight lets go.
bool CloseEntry(SocketEntry* entry, SOCKET s) {
    // Clearing the open bit and joining as a call of its own is one step:
    // the calls counted in `word` are exactly those to wake, and none of
    // them can close the descriptor before the wake-up below is done.
    Word word = entry->state.load(std::memory_order_acquire);
    do {
        if ((word & kOpen) == 0 || GenerationOfWord(word) != GenerationOf(s))
            return false;
    } while (!entry->state.compare_exchange_weak(word, (word & ~kOpen) + kCall, std::memory_order_acq_rel,
                                                 std::memory_order_acquire));
    entry->closing.store(true, std::memory_order_release);
    if (CallsOf(word) != 0) {
        // Wake the calls in flight; the shutdown state stays, so a call
        // that reaches the system only after this point returns at once
        // too. An abortive close must not send a FIN first: shutting down
        // receiving only wakes receivers and acceptors without a word to
        // the peer.
        bool receiveOnly = entry->abortiveClose.load() && SendCallsOf(word) == 0;
        Sys::Shutdown(entry->fd.load(std::memory_order_relaxed), receiveOnly ? 0 : 2);
    }
    LetGo(entry, kCall);
    return true;
}

} // namespace

SocketHold& SocketHold::operator=(SocketHold&& other) noexcept {
    if (this != &other) {
        Release();
        m_Entry = other.m_Entry;
        m_Sends = other.m_Sends;
        other.m_Entry = nullptr;
    }
    return *this;
}

void SocketHold::Release() {
    if (m_Entry == nullptr)
        return;
    SocketEntry* entry = m_Entry;
    m_Entry = nullptr;
    LetGo(entry, m_Sends ? kCall + kSendCall : kCall);
}

SocketHold HoldSocket(SOCKET s, HoldFor purpose) {
    if (!WinSockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return SocketHold();
    }
    SocketEntry* entry = TheTable().EntryOf(s);
    if (entry != nullptr) {
        const bool sends = purpose == HoldFor::Send;
        const Word join = sends ? kCall + kSendCall : kCall;
        Word word = entry->state.load(std::memory_order_acquire);
        while ((word & kOpen) != 0 && GenerationOfWord(word) == GenerationOf(s)) {
            if (entry->state.compare_exchange_weak(word, word + join, std::memory_order_acq_rel,
                                                   std::memory_order_acquire))
                return SocketHold(entry, sends);
        }
    }
    WSASetLastError(WSAENOTSOCK);
    return SocketHold();
}

SOCKET AddSocket(int fd, int type, bool nonBlocking, bool connected) {
    Table& table = TheTable();
    std::unique_lock<std::mutex> lock(table.lock);
    DWORD slot = table.TakeSlot();
    if (slot == 0) {
        lock.unlock();
        Sys::Close(fd);
        WSASetLastError(WSAEMFILE);
        return INVALID_SOCKET;
    }
    SocketEntry* entry = table.Entry(slot);
    lock.unlock();
    // The slot is ours alone: closed, no call in flight, no handle naming
    // its next generation yet. Everything is set before the open bit
    // publishes it.
    const DWORD generation = (GenerationOfWord(entry->state.load(std::memory_order_acquire)) + 1) & kGenerationMask;
    entry->fd.store(fd, std::memory_order_relaxed);
    entry->closing.store(false);
    entry->type = type;
    entry->nonBlocking.store(nonBlocking);
    entry->connecting.store(false);
    entry->bound.store(connected);
    entry->receiveShut.store(false);
    entry->sendShut.store(false);
    entry->abortiveClose.store(false);
    entry->connected.store(connected);
    entry->resetError.store(0);
    entry->state.store((Word{generation} << kGenerationShift) | kOpen, std::memory_order_release);
    return MakeHandle(slot, generation);
}

int CloseSocket(SOCKET s) {
    if (!WinSockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    SocketEntry* entry = TheTable().EntryOf(s);
    if (entry == nullptr || !CloseEntry(entry, s)) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    return 0;
}

void CloseAllSockets() {
    Table& table = TheTable();
    DWORD count;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        count = table.slotCount;
    }
    // Called while the stack stops; CloseSocket's started test would refuse.
    for (DWORD slot = 1; slot < count; ++slot) {
        SocketEntry* entry = table.Entry(slot);
        Word word = entry->state.load(std::memory_order_acquire);
        if ((word & kOpen) != 0)
            CloseEntry(entry, MakeHandle(slot, GenerationOfWord(word)));
    }
}

int OpenDescriptorCount() {
    Table& table = TheTable();
    DWORD count;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        count = table.slotCount;
    }
    int open = 0;
    for (DWORD slot = 1; slot < count; ++slot)
        open += table.Entry(slot)->fd.load(std::memory_order_relaxed) >= 0 ? 1 : 0;
    return open;
}

} // namespace YNetPosix
