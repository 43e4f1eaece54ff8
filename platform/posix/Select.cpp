// Winsock's select on counted handle sets, over poll.
//
// What counts as ready is Winsock's:
//   read    data, a pending connection, the peer's close or a reset;
//   write   room to send, or a non-blocking connect that has succeeded;
//   except  out-of-band data, or a non-blocking connect that has failed.
// So a wait on the except set alone is not ended by the peer's orderly
// close, nor by its reset (an abortive close, SO_LINGER {1, 0}): Winsock
// reports neither there, and this runs until its timeout as Winsock's does.
// Watch the read set to learn of either.
// The result is the number of handles left in the three sets together (a
// handle in two sets counts twice), 0 on timeout. A socket closed by
// another thread during the wait reads as ready, its later calls answer
// WSAENOTSOCK.
#include <array>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>

#include "platform/posix/ErrorMap.h"
#include "platform/posix/KernelObjects.h"
#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"
#include "platform/posix/WinApiPosix.h"

using namespace YNetPosix;

namespace {

enum SetIndex { kRead, kWrite, kExcept, kSetCount };

struct Watched {
    SetIndex set = kRead;
    SocketHold hold;
    bool ready = false;
};

constexpr std::size_t kMaxItems = kSetCount * FD_SETSIZE;

int Fail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

// -1 for no limit, else milliseconds rounded up.
bool TimeoutMilliseconds(const timeval* timeout, int* milliseconds) {
    if (timeout == nullptr) {
        *milliseconds = -1;
        return true;
    }
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0)
        return false;
    long long total = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
    *milliseconds = total > INT_MAX ? INT_MAX : static_cast<int>(total);
    return true;
}

int PollEvents(SetIndex set) {
    switch (set) {
    case kRead:
        return Sys::kPollIn;
    case kWrite:
        return Sys::kPollOut;
    default:
        return Sys::kPollPri;
    }
}

// Decides from poll's answer whether the item is ready for its set. A
// connect under way settles here: its success or failure shows now.
bool Ready(Watched& item, int revents) {
    if (item.hold.Closed())
        return true;
    SocketEntry* entry = item.hold.operator->();
    bool failure = (revents & (Sys::kPollErr | Sys::kPollHup)) != 0;
    if (entry->connecting.load()) {
        if (failure)
            return item.set == kExcept; // the reason is read with SO_ERROR
        if ((revents & (Sys::kPollIn | Sys::kPollOut)) == 0)
            return false;
        entry->connecting.store(false); // connected: the usual rules from here
        entry->connected.store(true);
    }
    switch (item.set) {
    case kRead:
        return (revents & (Sys::kPollIn | Sys::kPollErr | Sys::kPollHup)) != 0;
    case kWrite:
        return (revents & (Sys::kPollOut | Sys::kPollErr | Sys::kPollHup)) != 0;
    default:
        return (revents & Sys::kPollPri) != 0;
    }
}

} // namespace

int WINAPI select(int /*ignored*/, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                  const struct timeval* timeout) {
    if (!WinSockStarted())
        return Fail(WSANOTINITIALISED);
    fd_set* sets[kSetCount] = {readSet, writeSet, exceptSet};
    std::size_t total = 0;
    for (fd_set* set : sets) {
        if (set == nullptr)
            continue;
        if (set->fd_count > FD_SETSIZE)
            return Fail(WSAEINVAL);
        total += set->fd_count;
    }
    int milliseconds;
    if (total == 0 || !TimeoutMilliseconds(timeout, &milliseconds))
        return Fail(WSAEINVAL);

    // A select per receive is a common pattern: a wait on a few handles
    // builds its records on the stack, and only as many as it watches.
    constexpr std::size_t kFewItems = 4;
    std::array<Watched, kFewItems> few;
    std::unique_ptr<Watched[]> many;
    Watched* items = few.data();
    if (total > kFewItems) {
        many.reset(new (std::nothrow) Watched[total]);
        if (!many)
            return Fail(WSAENOBUFS);
        items = many.get();
    }
    std::array<Sys::PollItem, kMaxItems> polled;
    std::size_t count = 0;
    for (int index = 0; index < kSetCount; ++index) {
        if (sets[index] == nullptr)
            continue;
        for (unsigned int i = 0; i < sets[index]->fd_count; ++i) {
            SocketHold hold = HoldSocket(sets[index]->fd_array[i], index == kWrite ? HoldFor::Send : HoldFor::Other);
            if (!hold)
                return SOCKET_ERROR; // WSAENOTSOCK, as set by HoldSocket
            polled[count] = Sys::PollItem{hold.Fd(), PollEvents(static_cast<SetIndex>(index)), 0};
            items[count].set = static_cast<SetIndex>(index);
            items[count].hold = std::move(hold);
            ++count;
        }
    }

    // poll reports errors and hang-ups whatever was asked; an item whose
    // report is no readiness for its set leaves the wait (fd -1 is skipped)
    // so that the wait does not spin on it. Such an item can still be closed
    // by another thread: while there is one, the wait looks at it again
    // every kRecheck milliseconds.
    constexpr int kRecheck = 50;
    Deadline deadline(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
    bool dropped = false;
    for (;;) {
        int wait = -1;
        if (!deadline.infinite) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.at - Clock::now()).count();
            wait = left <= 0 ? 0 : static_cast<int>(left);
        }
        if (dropped && (wait < 0 || wait > kRecheck))
            wait = kRecheck;
        if (Sys::Poll(polled.data(), count, wait) < 0)
            return Fail(WsaErrorFromErrno(errno));
        bool any = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (polled[i].fd >= 0 && polled[i].revents != 0) {
                items[i].ready = Ready(items[i], polled[i].revents);
                dropped = dropped || !items[i].ready;
                polled[i].fd = -1;
            } else if (polled[i].fd < 0 && !items[i].ready && items[i].hold.Closed()) {
                items[i].ready = true;
            }
            any = any || items[i].ready;
        }
        if (any || (!deadline.infinite && Clock::now() >= deadline.at))
            break;
    }

    // Rewrite each set to hold only its ready handles, in their order.
    int ready = 0;
    std::size_t next = 0;
    for (int index = 0; index < kSetCount; ++index) {
        if (sets[index] == nullptr)
            continue;
        unsigned int kept = 0;
        for (unsigned int i = 0; i < sets[index]->fd_count; ++i, ++next) {
            if (items[next].ready) {
                sets[index]->fd_array[kept++] = sets[index]->fd_array[i];
                ++ready;
            }
        }
        sets[index]->fd_count = kept;
    }
    return ready;
}
