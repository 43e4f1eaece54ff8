// libFuzzer harness for NetStream.
//
// Input: two bytes that seed the piece sizes and the consumer's pace, then
// the bytes of a connection. The harness is the stream's receiving side
// (pieces of any size, mostly within what Request was asked for, now and
// then more than a pending message lacks) and its consuming side, between
// pieces and at the end, taking one message at a time or runs of them
// (read to any depth, given back or followed by the next run), mixed at
// random. Every result is checked against a plain reference
// that parses the whole byte run from its start:
//   - Analyse_InData gives -1 exactly for the piece that completes the size
//     word of the first head with a size outside 4..1440, or that holds more
//     bytes than the pending message lacks; otherwise the head count and
//     the remaining counter the reference predicts;
//   - every whole message is handed out once, in order, byte for byte, and
//     only once its last byte was accepted; the end-of-connection head comes
//     once, after the last one; every block goes back to the pool.
// A mismatch aborts, so libFuzzer keeps the input.
#include "framework/Log.h"
#include "message/YNetMsgHead.h"
#include "stream/NetStream.h"
#include "stream/SharedBlockPool.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace YNet2;

namespace {

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "NetStreamFuzzer: check failed at line %d: %s\n", __LINE__, #condition);              \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

int g_LogLines = 0;
void CountLine(const char*, void*) {
    ++g_LogLines;
}

// One unit of the byte run: a message, or a head whose size is bad (or not
// known because the run ends one byte into it).
struct Unit {
    std::size_t start;
    std::size_t size; // 0 when the size is bad or unknown
};

struct Reference {
    std::vector<Unit> units;
    std::size_t badSizeWordEnd = SIZE_MAX; // position of the last size-word byte of the first bad head

    Reference(const std::uint8_t* wire, std::size_t length) {
        std::size_t at = 0;
        while (at < length) {
            if (at + 1 == length) {
                units.push_back({at, 0});
                break;
            }
            std::size_t size = (wire[at] | (wire[at + 1] << 8)) & 0x7FFF;
            if (size < 4 || size > 1440) {
                units.push_back({at, 0});
                badSizeWordEnd = at + 1;
                break;
            }
            units.push_back({at, size});
            at += size;
        }
    }

    // The unit that holds position `at` as a byte after its first, or null.
    const Unit* PendingAt(std::size_t at) const {
        for (const Unit& u : units)
            if (u.start < at && (u.size == 0 || at < u.start + u.size))
                return &u;
        return nullptr;
    }

    // Bytes still missing from the unit pending at `at`: the rest of the head
    // while only its first byte is there.
    std::size_t RemainingAt(std::size_t at) const {
        const Unit* u = PendingAt(at);
        if (u == nullptr)
            return 0;
        if (at - u->start == 1)
            return 3;
        return u->size - (at - u->start);
    }

    // The result Analyse_InData gives for the accepted piece [from, to).
    int ResultFor(std::size_t from, std::size_t to) const {
        if (const Unit* u = PendingAt(from))
            return u->size != 0 && to == u->start + u->size ? 1 : 0;
        int heads = 0;
        bool lastWhole = true;
        for (const Unit& u : units) {
            if (u.start >= from && u.start < to) {
                ++heads;
                lastWhole = u.size != 0 && u.start + u.size <= to;
            }
        }
        return heads == 1 && !lastWhole ? 0 : heads;
    }
};

struct Random {
    std::uint32_t state;
    std::uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

class Harness {
public:
    Harness(const std::uint8_t* wire, std::size_t length, std::uint32_t seed)
        : m_Wire(wire), m_Length(length), m_Reference(wire, length), m_Random{seed | 1} {}

    void Run() {
        const DWORD takenBefore = SharedBlockPool().Taken();
        {
            NetStream stream;
            m_Stream = &stream;
            Feed();
            m_Stream->EndConnect();
            Drain();
            CHECK(m_Stream->Process_InData() == nullptr);
            m_Stream->Release();
            m_Stream->Clear();
            CHECK(!m_Stream->IsProcess());
        }
        CHECK(SharedBlockPool().Taken() == takenBefore);
    }

private:
    void Feed() {
        _block* block = nullptr;
        ULONG remaining = 0;
        while (m_Accepted < m_Length) {
            // Nothing pending: the room left in the block (how a receiver
            // fills its blocks to the end), a whole block, or any size.
            const std::uint32_t choice = m_Random.Next();
            ULONG want = remaining;
            if (want == 0) {
                const ULONG room = block != nullptr ? _block::Size - m_Filled : 0;
                switch (choice % 3) {
                case 0:
                    want = room != 0 ? room : _block::Size;
                    break;
                case 1:
                    want = _block::Size;
                    break;
                default:
                    want = 1 + (choice >> 2) % _block::Size;
                    break;
                }
            }
            if (remaining == 0 && block != nullptr && choice % 11 == 0)
                block = m_Stream->Request(block, 0); // a new block, nothing pending
            else
                block = m_Stream->Request(block, want);
            CHECK(block != nullptr);
            const ULONG room = _block::Size - block->m_Len;
            CHECK(room >= want);

            ULONG n;
            switch (m_Random.Next() % 4) {
            case 0:
                n = 1 + m_Random.Next() % 4;
                break;
            case 1:
                n = want;
                break;
            case 2:
                n = 1 + m_Random.Next() % 64;
                break;
            default:
                n = 1 + m_Random.Next() % want;
                break;
            }
            if (n > want)
                n = want;
            if (remaining != 0 && m_Random.Next() % 16 == 0)
                n = remaining + 1 + m_Random.Next() % 8; // more than the pending message lacks
            if (n > room)
                n = room;
            if (n > m_Length - m_Accepted)
                n = static_cast<ULONG>(m_Length - m_Accepted);

            const std::size_t from = m_Accepted, to = from + n;
            const bool overflow = remaining != 0 && n > remaining;
            const bool badHead = m_Reference.badSizeWordEnd >= from && m_Reference.badSizeWordEnd < to;
            const WORD lenBefore = block->m_Len;
            std::memcpy(block->m_Bytes + block->m_Len, m_Wire + from, n);
            g_LogLines = 0;
            const ULONG remainingBefore = remaining;
            const int result = m_Stream->Analyse_InData(n, block, remaining);
            if (overflow || badHead) {
                CHECK(result == -1);
                CHECK(g_LogLines == (overflow ? 2 : 0));
                CHECK(remaining == remainingBefore);
                CHECK(block->m_Len == lenBefore);
                return; // the connection ends here
            }
            CHECK(g_LogLines == 0);
            CHECK(result == m_Reference.ResultFor(from, to));
            CHECK(block->m_Len == lenBefore + n);
            m_Filled = block->m_Len; // a full block may go back to the pool once consumed: not read again
            m_Accepted = to;
            CHECK(remaining == m_Reference.RemainingAt(m_Accepted));
            Consume(m_Random.Next() % 8);
        }
    }

    // The next message, one at a time (held until Done) or from a run; null
    // when there is none now. Runs are read to a random depth and given back
    // with BrushRun, or followed by the next run of the loop Process_Run(run)
    // makes under one claim.
    YNetMsgHead* Take() {
        if (m_InRun) {
            if (m_Random.Next() % 8 != 0) {
                if (YNetMsgHead* head = m_Run.Next())
                    return head;
                if (m_Random.Next() % 2 == 0)
                    return (m_InRun = m_Stream->Process_Run(m_Run)) ? FirstOfRun() : nullptr;
            }
            m_Stream->BrushRun(m_Run);
            m_InRun = false;
            return nullptr;
        }
        if (m_Random.Next() % 2 == 0)
            return (m_InRun = m_Stream->Process_Run(m_Run)) ? FirstOfRun() : nullptr;
        return m_Stream->Process_InData();
    }

    YNetMsgHead* FirstOfRun() {
        YNetMsgHead* head = m_Run.Next();
        CHECK(head != nullptr); // a run holds a message, or the end head
        return head;
    }

    // Consumes the message Take handed out (a run's go with the run).
    void Done() {
        if (!m_InRun)
            m_Stream->BrushMsg();
    }

    // Takes up to `count` messages (all there are when count is 0).
    void Consume(std::uint32_t count) {
        for (std::uint32_t i = 0; count == 0 || i < count; ++i) {
            YNetMsgHead* head = Take();
            if (head == nullptr)
                break;
            CheckNext(head); // never the end head before EndConnect
            Done();
        }
        if (m_InRun)
            m_Stream->BrushRun(m_Run);
        m_InRun = false;
        CHECK(!m_Stream->IsProcess());
    }

    void Drain() {
        for (int misses = 0;;) {
            YNetMsgHead* head = Take();
            if (head == nullptr) { // a run stopped early, or one read to its end
                CHECK(++misses < 64);
                continue;
            }
            misses = 0;
            if (NetStream::IsEndConnectHead(head)) {
                CHECK(m_Stream->GetFirstNode() == nullptr);
                const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(head);
                CHECK(head->IsEndConnect() && head->GetSize() == 4);
                CHECK(bytes[0] == 4 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0);
                break;
            }
            CheckNext(head);
            Done();
        }
        std::size_t whole = 0;
        for (const Unit& u : m_Reference.units)
            if (u.size != 0 && u.start + u.size <= m_Accepted)
                ++whole;
        CHECK(m_Next == whole);
        CHECK(m_Stream->IsProcess());
        CHECK(m_Stream->GetFirstNode() == nullptr);
    }

    // head is the next whole message, in place in the stream's first block.
    void CheckNext(const YNetMsgHead* head) {
        const _block* first = m_Stream->GetFirstNode();
        const std::uint8_t* at = reinterpret_cast<const std::uint8_t*>(head);
        CHECK(first != nullptr);
        CHECK(at >= first->m_Bytes && at + head->GetSize() <= first->m_Bytes + first->m_Len);
        CHECK(m_Next < m_Reference.units.size());
        const Unit& u = m_Reference.units[m_Next];
        CHECK(u.size != 0 && u.start + u.size <= m_Accepted);
        CHECK(static_cast<std::size_t>(head->GetSize()) == u.size);
        CHECK(std::memcmp(head, m_Wire + u.start, u.size) == 0);
        ++m_Next;
    }

    const std::uint8_t* m_Wire;
    std::size_t m_Length;
    Reference m_Reference;
    Random m_Random;
    NetStream* m_Stream = nullptr;
    NetMsgRun m_Run;
    bool m_InRun = false; // m_Run is held: its messages are consumed by BrushRun or the next run
    std::size_t m_Accepted = 0;
    ULONG m_Filled = 0; // the receiving block's length after the last accepted piece
    std::size_t m_Next = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogSink(&CountLine, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    Harness harness(data + 2, size - 2, static_cast<std::uint32_t>(data[0] | (data[1] << 8)) * 2654435761u);
    harness.Run();
    return 0;
}
