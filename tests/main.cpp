#include <gtest/gtest.h>

#include "platform/WinApi.h"

// The socket stack is started once for the whole suite, as an application
// starts it once before its first connection.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
