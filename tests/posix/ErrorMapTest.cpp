// The one errno-to-Winsock translation, checked against Winsock's table.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/WinApi.h"
#include "platform/posix/ErrorMap.h"

namespace {

struct Row {
    int error;
    int code;
};

// Winsock's numbers for the system's conditions.
const Row kTable[] = {
    {0, 0},
    {EINTR, 10004},
    {EBADF, 10038},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, 10035},
    {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10035},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {EHOSTUNREACH, 10065},
    {EHOSTDOWN, 10065},
    {EIO, 10050}, // no Winsock counterpart: the generic network failure
};

TEST(PosixErrorMap, TranslatesEveryErrnoToItsWinsockCode) {
    for (const Row& row : kTable)
        EXPECT_EQ(YNetPosix::WsaErrorFromErrno(row.error), row.code) << "errno " << row.error;
}

TEST(PosixErrorMap, HeaderCodesAreWinsockNumbers) {
    EXPECT_EQ(WSAECONNABORTED, 10053);
    EXPECT_EQ(WSAECONNRESET, 10054);
    EXPECT_EQ(WSAECONNREFUSED, 10061);
    EXPECT_EQ(WSANOTINITIALISED, 10093);
    EXPECT_EQ(SOL_SOCKET, 0xFFFF);
    EXPECT_EQ(SO_LINGER, 0x0080);
    EXPECT_EQ(sizeof(linger), 4u);
    EXPECT_EQ(sizeof(SOCKET), 4u);
    EXPECT_EQ(sizeof(LONG), 4u);
    EXPECT_EQ(sizeof(sockaddr_in), 16u);
}

} // namespace
