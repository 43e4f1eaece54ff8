// The table of SOCKET handles; see SocketTable.h for the contract.
#include "platform/posix/SocketTable.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/SysSocket.h"

namespace YNetPosix {
namespace {

constexpr DWORD kSlotBits = 16;
constexpr DWORD kGenerationBits = 13; // handles stay below 2^31: positive as int
constexpr DWORD kMaxSlot = (1u << kSlotBits) - 1;
constexpr DWORD kGenerationMask = (1u << kGenerationBits) - 1;
constexpr std::size_t kSlotsBeforeReuse = 1024;

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
    std::mutex lock;
    // Slot 0 is never used, so no handle is 0. Entries never move.
    std::vector<std::unique_ptr<SocketEntry>> slots; // lock
    std::deque<DWORD> freeSlots;                     // lock

    // lock held. The entry a handle names while it is open, or null.
    SocketEntry* Find(SOCKET s) {
        if ((s & 3) != 0)
            return nullptr;
        DWORD slot = SlotOf(s);
        if (slot == 0 || slot >= slots.size())
            return nullptr;
        SocketEntry* entry = slots[slot].get();
        if (!entry->open || entry->generation != GenerationOf(s))
            return nullptr;
        return entry;
    }

    // lock held. A free slot, or 0 when the table is full.
    DWORD TakeSlot() {
        if (slots.empty())
            slots.emplace_back(); // slot 0
        if ((slots.size() <= kSlotsBeforeReuse || freeSlots.empty()) && slots.size() <= kMaxSlot) {
            slots.push_back(std::make_unique<SocketEntry>());
            return static_cast<DWORD>(slots.size() - 1);
        }
        if (freeSlots.empty())
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

// Table lock held by `lock`. Ends a descriptor whose handle is closed and
// whose last call has let go; the close itself runs unlocked (a lingering
// close may block) and the slot is free once it is done.
void FinishClose(std::unique_lock<std::mutex>& lock, SocketEntry* entry) {
    int fd = entry->fd;
    lock.unlock();
    Sys::Close(fd);
    lock.lock();
    entry->fd = -1;
    TheTable().freeSlots.push_back(entry->slot);
}

// Table lock held by `lock`. Ends an open handle: the descriptor closes
// now, or when the last call in flight lets go.
void CloseEntry(std::unique_lock<std::mutex>& lock, SocketEntry* entry) {
    entry->open = false;
    entry->closing.store(true, std::memory_order_release);
    if (entry->inFlight == 0) {
        FinishClose(lock, entry);
        return;
    }
    // Wake the calls in flight; the shutdown state stays, so a call that
    // reaches the system only after this point returns at once too. An
    // abortive close must not send a FIN first: shutting down receiving
    // only wakes receivers and acceptors without a word to the peer.
    bool receiveOnly = entry->abortiveClose.load() && entry->sendsInFlight == 0;
    Sys::Shutdown(entry->fd, receiveOnly ? 0 : 2);
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
    Table& table = TheTable();
    std::unique_lock<std::mutex> lock(table.lock);
    if (m_Sends)
        --entry->sendsInFlight;
    if (--entry->inFlight == 0 && !entry->open && entry->fd >= 0)
        FinishClose(lock, entry);
}

SocketHold HoldSocket(SOCKET s, HoldFor purpose) {
    if (!WinSockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return SocketHold();
    }
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    SocketEntry* entry = table.Find(s);
    if (entry == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SocketHold();
    }
    ++entry->inFlight;
    bool sends = purpose == HoldFor::Send;
    if (sends)
        ++entry->sendsInFlight;
    return SocketHold(entry, sends);
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
    SocketEntry* entry = table.slots[slot].get();
    entry->slot = slot;
    entry->fd = fd;
    entry->generation = (entry->generation + 1) & kGenerationMask;
    entry->inFlight = 0;
    entry->sendsInFlight = 0;
    entry->open = true;
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
    return MakeHandle(slot, entry->generation);
}

int CloseSocket(SOCKET s) {
    if (!WinSockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    Table& table = TheTable();
    std::unique_lock<std::mutex> lock(table.lock);
    SocketEntry* entry = table.Find(s);
    if (entry == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    CloseEntry(lock, entry);
    return 0;
}

void CloseAllSockets() {
    std::vector<SOCKET> open;
    {
        Table& table = TheTable();
        std::lock_guard<std::mutex> hold(table.lock);
        for (DWORD slot = 1; slot < table.slots.size(); ++slot) {
            if (table.slots[slot]->open)
                open.push_back(MakeHandle(slot, table.slots[slot]->generation));
        }
    }
    // Called while the stack stops; CloseSocket's started test would refuse.
    for (SOCKET s : open) {
        Table& table = TheTable();
        std::unique_lock<std::mutex> lock(table.lock);
        SocketEntry* entry = table.Find(s);
        if (entry != nullptr)
            CloseEntry(lock, entry);
    }
}

int OpenDescriptorCount() {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    int count = 0;
    for (DWORD slot = 1; slot < table.slots.size(); ++slot)
        count += table.slots[slot]->fd >= 0 ? 1 : 0;
    return count;
}

} // namespace YNetPosix
