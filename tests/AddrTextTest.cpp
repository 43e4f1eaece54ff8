#include <gtest/gtest.h>

#include "socket/AddrText.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>

using namespace YNet2;

namespace {

// A record whose every byte is known, to see which ones a call changes.
YSocketAddr FilledRecord() {
    YSocketAddr addr;
    std::memset(&addr, 0xEE, sizeof(addr));
    addr.sin_family = 0x1234;
    return addr;
}

std::string AddrBytes(const YSocketAddr& addr) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr.sin_addr);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string IPText(ULONG address) {
    char buffer[kIPTextSize];
    IP2Str(buffer, sizeof(buffer), address);
    return buffer;
}

std::string AddrText(const YSocketAddr& addr) {
    char buffer[kAddrTextSize];
    Addr2Str(buffer, sizeof(buffer), addr);
    return buffer;
}

ULONG Swapped(ULONG v) {
    return ((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | ((v >> 24) & 0xFF);
}

} // namespace

TEST(AddrText, Str2IPPutsTheFirstNumberInTheMostSignificantByte) {
    EXPECT_EQ(Str2IP("192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(Str2IP("1.2.3.300"), 0x0102032Cu);
    EXPECT_EQ(Str2IP("10-0-0-1"), 0x0A000001u);
    EXPECT_EQ(Str2IP("1..2.3.4"), 0x01000203u);
    EXPECT_EQ(Str2IP("4294967297.0.0.1"), 0x01000001u); // 2^32 + 1, modulo 2^32, then modulo 256
    EXPECT_EQ(Str2IP("1.2.3.4:8080 and more"), 0x01020304u);
    EXPECT_EQ(Str2IP("x.1.2.3"), 0u);
    EXPECT_EQ(Str2IP(" 1.2.3.4"), 0u);
    EXPECT_EQ(Str2IP(""), 0u);
    EXPECT_EQ(Str2IP(nullptr), 0u);
}

TEST(AddrText, ShortTextReadsMissingNumbersAsZero) {
    EXPECT_EQ(Str2IP("7"), 0x07000000u);
    EXPECT_EQ(Str2IP("1."), 0x01000000u);
    EXPECT_EQ(Str2IP("1.2"), 0x01020000u);
    EXPECT_EQ(Str2IP("1.2.3."), 0x01020300u);

    YSocketAddr addr = FilledRecord();
    Str2Addr(addr, "10.0.0.1");
    EXPECT_EQ(AddrBytes(addr), "10.0.0.1");
    EXPECT_EQ(addr.sin_port, 0);
    Str2Addr(addr, "10.9:");
    EXPECT_EQ(AddrBytes(addr), "10.9.0.0");
    EXPECT_EQ(addr.sin_port, 0);
}

TEST(AddrText, IP2StrPrintsTheLeastSignificantByteFirst) {
    EXPECT_EQ(IPText(0x0100007Fu), "127.0.0.1");
    EXPECT_EQ(IPText(Str2IP("1.2.3.4")), "4.3.2.1");
    EXPECT_EQ(IPText(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(IPText(0), "0.0.0.0");
}

TEST(AddrText, Str2AddrFillsAddressAndHostOrderPortOnly) {
    YSocketAddr addr = FilledRecord();
    Str2Addr(addr, "10.0.0.1:8080");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&addr);
    EXPECT_EQ(bytes[4], 0x0A);
    EXPECT_EQ(bytes[5], 0x00);
    EXPECT_EQ(bytes[6], 0x00);
    EXPECT_EQ(bytes[7], 0x01);
    EXPECT_EQ(addr.sin_port, 8080); // host order: htons is the caller's step
    EXPECT_EQ(addr.sin_family, 0x1234);
    for (int i = 8; i < 16; ++i)
        EXPECT_EQ(bytes[i], 0xEE) << i;
    EXPECT_EQ(AddrText(addr), "10.0.0.1:8080");

    Str2Addr(addr, "255.256.257.1:70000");
    EXPECT_EQ(AddrText(addr), "255.0.1.1:4464");
}

TEST(AddrText, Str2AddrLeavesTheRecordWhenTextDoesNotStartWithADigit) {
    for (const char* text : {":80", " 1.2.3.4:5", "", "a1.2.3.4:5"}) {
        YSocketAddr addr = FilledRecord();
        Str2Addr(addr, text);
        const YSocketAddr untouched = FilledRecord();
        EXPECT_EQ(std::memcmp(&addr, &untouched, sizeof(addr)), 0) << '"' << text << '"';
    }
}

TEST(AddrText, WritersStayWithinTheGivenLength) {
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    IP2Str(buffer, 8, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(buffer, 9), std::string("255.255\0#", 9));

    std::memset(buffer, '#', sizeof(buffer));
    IP2Str(buffer, 0, 0x0100007Fu);
    IP2Str(buffer, -5, 0x0100007Fu);
    IP2Str(nullptr, 16, 0x0100007Fu);
    EXPECT_EQ(buffer[0], '#');
    IP2Str(buffer, 1, 0x0100007Fu);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0#", 2));

    YSocketAddr addr{};
    Str2Addr(addr, "255.255.255.255:65535");
    std::memset(buffer, '#', sizeof(buffer));
    Addr2Str(buffer, kAddrTextSize, addr);
    EXPECT_EQ(std::string(buffer, 23), std::string("255.255.255.255:65535\0#", 23));
    std::memset(buffer, '#', sizeof(buffer));
    Addr2Str(buffer, 10, addr);
    EXPECT_EQ(std::string(buffer, 11), std::string("255.255.2\0#", 11));
}

TEST(AddrText, IsLocalIPComparesTheLowThreeBytes) {
    EXPECT_TRUE(IsLocalIP(0x0501A8C0u, 0x0901A8C0u));
    EXPECT_FALSE(IsLocalIP(0x0501A8C0u, 0x0502A8C0u));
    EXPECT_TRUE(IsLocalIP(0x00123456u, 0xFF123456u));
    EXPECT_FALSE(IsLocalIP(0x0501A8C0u, 0x0501A8C1u));
}

TEST(AddrText, WrittenTextReadsBackToTheSameAddress) {
    std::mt19937 random(1208);
    for (int i = 0; i < 2000; ++i) {
        const ULONG value = static_cast<ULONG>(random());
        ASSERT_EQ(Str2IP(IPText(value).c_str()), Swapped(value)) << IPText(value);

        YSocketAddr addr{};
        addr.sin_addr.s_addr = value;
        addr.sin_port = static_cast<unsigned short>(random());
        YSocketAddr back{};
        Str2Addr(back, AddrText(addr).c_str());
        ASSERT_EQ(std::memcmp(&back, &addr, sizeof(addr)), 0) << AddrText(addr);
    }
}

// Every text sits in a heap block of exactly its size (terminator included),
// so AddressSanitizer reports any read past the terminator.
TEST(AddrText, ReadersNeverLookPastTheTerminatorOfAnyText) {
    const char alphabet[] = "0123456789..::- x\xFF";
    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(alphabet) - 2);
    std::uniform_int_distribution<std::size_t> size(0, 14);
    for (int i = 0; i < 20000; ++i) {
        const std::size_t length = size(random);
        std::unique_ptr<char[]> text(new char[length + 1]);
        for (std::size_t k = 0; k < length; ++k)
            text[k] = alphabet[pick(random)];
        text[length] = '\0';

        const ULONG ip = Str2IP(text.get());
        YSocketAddr addr = FilledRecord();
        Str2Addr(addr, text.get());
        if (length == 0 || text[0] < '0' || text[0] > '9') {
            ASSERT_EQ(ip, 0u) << text.get();
            const YSocketAddr untouched = FilledRecord();
            ASSERT_EQ(std::memcmp(&addr, &untouched, sizeof(addr)), 0) << text.get();
        } else {
            // Both readers see the same four numbers.
            ASSERT_EQ(AddrBytes(addr), IPText(Swapped(ip))) << text.get();
            ASSERT_EQ(addr.sin_family, 0x1234) << text.get();
        }
    }
}
