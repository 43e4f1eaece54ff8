#include "client/ClientSocket.h"

#include <cassert>

#include "stream/LockHolder.h"

namespace YNet2 {

namespace {

// Ends the blocking calls that other threads make on handle, without closing
// it (its value must not be reused while they still hold it). shutdown
// makes every later call on the handle fail at once; on Windows it does not
// end a call that is already blocked, so the handle's pending I/O is also
// cancelled there (this ends a blocked recv or send from any thread). A
// receive-only shutdown sends nothing to the peer, which then sees only the
// reset of the final abortive close, as without the wake.
//
// On Windows a call that has been marked in use but has not entered the
// system yet escapes that cancel. The shutdown ends such a recv or send in
// turn (either fails at once with WSAESHUTDOWN, measured under Wine), but
// nothing promises that of every blocking call a derived class may make on
// the handle. So the cancel is repeated, while the handle still has users,
// by whoever waits for them (Recancel, CancelUntilLeft). Elsewhere the
// repeat finds nothing to cancel.
void WakeBlockedCalls(SOCKET handle, int how) {
    shutdown(handle, how);
    CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
}

// How long PromoteIncoming repeats the cancel of the handle it retired: a
// user still inside a call after that (a send to a peer that reads nothing,
// where the system does not cancel sends) closes the handle when it leaves.
constexpr DWORD kRetireBoundMs = 2000;

} // namespace

ClientSocket::ClientSocket()
    : m_Held(INVALID_SOCKET), m_Generation(0), m_Live(0), m_ReaderRuns(false), m_ReadingStopped(false), m_Entries{},
      m_EntryCount(0) {
    InitializeCriticalSection(&m_Lock);
}

ClientSocket::~ClientSocket() {
    {
        LockHolder hold(&m_Lock);
        if (m_Held != INVALID_SOCKET)
            CloseLocked(m_Held, false);
        SetHeldLocked(INVALID_SOCKET);
        // Every user has left by now: the receive thread has ended, and the
        // owner does not destroy a client while sending or reconnecting.
        for (int i = 0; i < m_EntryCount; ++i)
            closesocket(m_Entries[i].handle);
        m_EntryCount = 0;
    }
    DeleteCriticalSection(&m_Lock);
}

// ---------------------------------------------------------------- the held socket

SOCKET ClientSocket::Held() const {
    LockHolder hold(&m_Lock);
    return m_Held;
}

void ClientSocket::SetHeldLocked(SOCKET handle) {
    m_Held = handle;
    if (handle == INVALID_SOCKET) {
        m_Live.store(0, std::memory_order_release);
        return;
    }
    if (++m_Generation == 0)
        ++m_Generation; // 0 means "no socket"
    m_Live.store(m_Generation, std::memory_order_release);
}

void ClientSocket::Hold(SOCKET handle) {
    LockHolder hold(&m_Lock);
    if (m_Held != INVALID_SOCKET && m_Held != handle)
        CloseLocked(m_Held, false);
    SetHeldLocked(handle);
    CheckLocked();
}

void ClientSocket::Share(SOCKET handle) {
    LockHolder hold(&m_Lock);
    SetHeldLocked(handle);
}

void ClientSocket::Close(bool abortive) {
    LockHolder hold(&m_Lock);
    if (m_Held == INVALID_SOCKET)
        return;
    if (abortive) {
        // The close that follows resets the connection and drops unsent data.
        linger reset{1, 0};
        setsockopt(m_Held, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
        CancelIo(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(m_Held)));
    }
    CloseLocked(m_Held, abortive);
    SetHeldLocked(INVALID_SOCKET);
    CheckLocked();
}

void ClientSocket::CloseIfHeld(SOCKET handle) {
    LockHolder hold(&m_Lock);
    if (m_Held != handle)
        return;
    shutdown(handle, SD_BOTH);
    CloseLocked(handle, false);
    SetHeldLocked(INVALID_SOCKET);
    CheckLocked();
}

ClientSocket::Entry* ClientSocket::Find(SOCKET handle) {
    for (int i = 0; i < m_EntryCount; ++i) {
        if (m_Entries[i].handle == handle)
            return &m_Entries[i];
    }
    return nullptr;
}

void ClientSocket::CloseLocked(SOCKET handle, bool abortive) {
    Entry* entry = Find(handle);
    if (entry == nullptr) {
        closesocket(handle);
        return;
    }
    if (entry->retired)
        return;
    entry->retired = true;
    // An abortive close tells the peer nothing before its reset, unless a
    // sender has to be woken (its unsent bytes go ahead of any FIN anyway).
    WakeBlockedCalls(handle, abortive && entry->senders == 0 ? SD_RECEIVE : SD_BOTH);
}

void ClientSocket::CheckLocked() const {
#ifndef NDEBUG
    int readers = 0;
    for (int i = 0; i < m_EntryCount; ++i) {
        const Entry& entry = m_Entries[i];
        assert(entry.users >= 1 && entry.senders >= 0 && entry.senders <= entry.users);
        assert(!(entry.incoming && entry.handle == m_Held)); // incoming is never held yet
        assert(!(entry.retired && entry.handle == m_Held));  // a retired handle is never held
        for (int j = i + 1; j < m_EntryCount; ++j)
            assert(m_Entries[j].handle != entry.handle);
        readers += entry.reading ? 1 : 0;
    }
    assert(readers <= 1);
    assert((m_Held == INVALID_SOCKET) == (m_Live.load(std::memory_order_relaxed) == 0));
#endif
}

// ---------------------------------------------------------------- uses

SOCKET ClientSocket::BeginUse(Use use, DWORD* generation) {
    LockHolder hold(&m_Lock);
    if (m_Held == INVALID_SOCKET || (use == Use::Read && m_ReadingStopped && m_ReaderRuns))
        return INVALID_SOCKET;
    Entry* entry = Find(m_Held);
    if (entry == nullptr) {
        if (m_EntryCount == kMaxEntries)
            return INVALID_SOCKET; // cannot track one more handle: act as if there were none
        entry = &m_Entries[m_EntryCount++];
        *entry = Entry{m_Held, 0, 0, false, false, false};
    }
    ++entry->users;
    if (use == Use::Send)
        ++entry->senders;
    if (use == Use::Read)
        entry->reading = true;
    if (generation != nullptr)
        *generation = m_Generation;
    CheckLocked();
    return m_Held;
}

bool ClientSocket::EndUse(SOCKET handle, Use use) {
    LockHolder hold(&m_Lock);
    Entry* entry = Find(handle);
    assert(entry != nullptr); // every handle given out in use has its entry
    if (entry == nullptr)
        return false;
    const bool closed = entry->retired;
    if (use == Use::Send)
        --entry->senders;
    if (use == Use::Read)
        entry->reading = false;
    if (--entry->users == 0) {
        if (closed)
            closesocket(handle);
        *entry = m_Entries[--m_EntryCount];
    }
    CheckLocked();
    return !closed;
}

bool ClientSocket::Retired(SOCKET handle) {
    LockHolder hold(&m_Lock);
    Entry* entry = Find(handle);
    return entry != nullptr && entry->retired;
}

// ---------------------------------------------------------------- Reconnect's socket

bool ClientSocket::AddIncoming(SOCKET handle) {
    LockHolder hold(&m_Lock);
    if (m_EntryCount == kMaxEntries)
        return false;
    m_Entries[m_EntryCount++] = Entry{handle, 1, 0, false, false, true};
    CheckLocked();
    return true;
}

bool ClientSocket::PromoteIncoming(SOCKET handle) {
    SOCKET old;
    {
        LockHolder hold(&m_Lock);
        Entry* entry = Find(handle);
        assert(entry != nullptr && entry->incoming && entry->users == 1);
        if (entry->retired) {
            closesocket(handle); // an ending call closed it while it connected
            *entry = m_Entries[--m_EntryCount];
            CheckLocked();
            return false;
        }
        *entry = m_Entries[--m_EntryCount];
        old = m_Held;
        if (old != INVALID_SOCKET)
            CloseLocked(old, false);
        SetHeldLocked(handle);
        CheckLocked();
    }
    if (old != INVALID_SOCKET)
        CancelUntilLeft(old);
    return true;
}

void ClientSocket::DropIncoming(SOCKET handle) {
    LockHolder hold(&m_Lock);
    Entry* entry = Find(handle);
    assert(entry != nullptr && entry->incoming && entry->users == 1);
    if (entry != nullptr)
        *entry = m_Entries[--m_EntryCount];
    closesocket(handle);
    CheckLocked();
}

void ClientSocket::CloseIncoming() {
    LockHolder hold(&m_Lock);
    for (int i = 0; i < m_EntryCount; ++i) {
        if (m_Entries[i].incoming)
            CloseLocked(m_Entries[i].handle, false);
    }
}

// ---------------------------------------------------------------- the reader

void ClientSocket::StartReading() {
    LockHolder hold(&m_Lock);
    m_ReaderRuns = true;
    m_ReadingStopped = false;
}

void ClientSocket::StopReading() {
    LockHolder hold(&m_Lock);
    m_ReadingStopped = true;
    if (m_ReaderRuns && m_Held != INVALID_SOCKET) {
        CloseLocked(m_Held, false);
        SetHeldLocked(INVALID_SOCKET);
    }
    CheckLocked();
}

void ClientSocket::ReaderCut() {
    LockHolder hold(&m_Lock);
    m_ReadingStopped = true;
}

bool ClientSocket::Reading() const {
    LockHolder hold(&m_Lock);
    return m_ReaderRuns && !m_ReadingStopped;
}

void ClientSocket::ReaderEnded() {
    LockHolder hold(&m_Lock);
    m_ReaderRuns = false;
    m_ReadingStopped = false;
}

void ClientSocket::Recancel() {
    LockHolder hold(&m_Lock);
    for (int i = 0; i < m_EntryCount; ++i) {
        if (m_Entries[i].retired) // still open: its last user has not left
            CancelIoEx(reinterpret_cast<HANDLE>(m_Entries[i].handle), nullptr);
    }
}

void ClientSocket::CancelUntilLeft(SOCKET handle) {
    for (DWORD start = GetTickCount();; Sleep(1)) {
        {
            LockHolder hold(&m_Lock);
            Entry* entry = Find(handle);
            if (entry == nullptr || !entry->retired)
                return; // closed by its last user (or never in use)
            CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
        }
        if (GetTickCount() - start >= kRetireBoundMs)
            return;
    }
}

} // namespace YNet2
