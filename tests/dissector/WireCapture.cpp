// ynet-wire-capture: writes a capture file of this library's wire format
// from bytes it chooses, and beside it what a dissector must find in it.
//
//   ynet-wire-capture cases  PCAP EXPECTED SERVER_PORT PROXY_PORT
//   ynet-wire-capture names  PCAP EXPECTED SERVER_PORT PROXY_PORT
//   ynet-wire-capture random PCAP EXPECTED SEED
//
// Bodies are scrambled with the library's own Encode. The expectation
// comes from how the capture was built, not from parsing it: every message
// is queued on a direction of a connection, segments then take the next n
// bytes of that direction, and a message is expected in the frame that
// carries its last byte (where TCP reassembly completes it).
//
// EXPECTED is tab-separated: a header line naming display-filter fields,
// then one line per frame that holds messages or unparsed bytes. Several
// values of one field in one frame are joined with '|'; bytes are lowercase
// hexadecimal without separators; booleans are 1 or 0.
//
// cases: prints the frame numbers of the SOCKS handshake steps; writes one direct connection (a message split at every
// byte across two segments, several messages per segment, head sizes 0 to 4, the end head, 1440 bytes over three
// segments, every flag), a connection through a SOCKS5 proxy, one through a SOCKS4 proxy, and one cut by a head
// announcing 1441 bytes.
// names: the same for targets by name and IPv6 address (WriteNames), in a capture of their own; prints the frame
// numbers of the handshakes, a tab, then those of the three requests.
// random: one message with a random body of every length from 0 to 1436,
// one per segment.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "socket/YSocketTarget.h"

namespace {

typedef std::vector<std::uint8_t> Bytes;

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", b);
        out += pair;
    }
    return out;
}

// ------------------------------------------------------------ pcap

// Ethernet + IPv4 + TCP frames in a classic pcap file.
class PcapWriter {
public:
    explicit PcapWriter(const char* path) : m_File(std::fopen(path, "wb")) {
        if (m_File == nullptr)
            return;
        Bytes header;
        Put32(header, 0xA1B2C3D4u);
        Put16(header, 2);
        Put16(header, 4);
        Put32(header, 0);     // time zone
        Put32(header, 0);     // accuracy
        Put32(header, 65535); // snap length
        Put32(header, 1);     // Ethernet
        std::fwrite(header.data(), 1, header.size(), m_File);
    }
    ~PcapWriter() {
        if (m_File != nullptr)
            std::fclose(m_File);
    }
    bool Ok() const { return m_File != nullptr && !std::ferror(m_File); }

    // Writes one TCP segment between two 127.0.0.1 ports; answers its frame number.
    int Segment(std::uint16_t from, std::uint16_t to, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                const Bytes& payload) {
        Bytes tcp;
        PutBig16(tcp, from);
        PutBig16(tcp, to);
        PutBig32(tcp, seq);
        PutBig32(tcp, ack);
        tcp.push_back(5 << 4);
        tcp.push_back(flags);
        PutBig16(tcp, 65535);
        PutBig16(tcp, 0); // checksum: tshark leaves checksums unverified by default
        PutBig16(tcp, 0);
        tcp.insert(tcp.end(), payload.begin(), payload.end());
        const Bytes address = {127, 0, 0, 1};
        Bytes ip = {0x45, 0};
        PutBig16(ip, static_cast<std::uint16_t>(20 + tcp.size()));
        PutBig16(ip, static_cast<std::uint16_t>(m_Frames));
        PutBig16(ip, 0x4000); // don't fragment
        ip.push_back(64);
        ip.push_back(6);
        PutBig16(ip, 0); // checksum
        ip.insert(ip.end(), address.begin(), address.end());
        ip.insert(ip.end(), address.begin(), address.end());

        Bytes frame(12, 0);
        PutBig16(frame, 0x0800);
        frame.insert(frame.end(), ip.begin(), ip.end());
        frame.insert(frame.end(), tcp.begin(), tcp.end());

        ++m_Frames;
        Bytes record;
        Put32(record, static_cast<std::uint32_t>(m_Frames)); // one second apart
        Put32(record, 0);
        Put32(record, static_cast<std::uint32_t>(frame.size()));
        Put32(record, static_cast<std::uint32_t>(frame.size()));
        std::fwrite(record.data(), 1, record.size(), m_File);
        std::fwrite(frame.data(), 1, frame.size(), m_File);
        return m_Frames;
    }

private:
    static void Put16(Bytes& b, std::uint16_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    static void Put32(Bytes& b, std::uint32_t v) {
        Put16(b, static_cast<std::uint16_t>(v));
        Put16(b, static_cast<std::uint16_t>(v >> 16));
    }
    static void PutBig16(Bytes& b, std::uint16_t v) {
        b.push_back(static_cast<std::uint8_t>(v >> 8));
        b.push_back(static_cast<std::uint8_t>(v));
    }
    static void PutBig32(Bytes& b, std::uint32_t v) {
        PutBig16(b, static_cast<std::uint16_t>(v >> 16));
        PutBig16(b, static_cast<std::uint16_t>(v));
    }
    std::FILE* m_File;
    int m_Frames = 0;
};

// ------------------------------------------------------------ expectation

// Field name -> values, per frame, in the order of the header.
class Expectation {
public:
    explicit Expectation(std::vector<std::string> fields) : m_Fields(std::move(fields)) {}

    void Add(int frame, const std::string& field, const std::string& value) {
        for (const std::string& known : m_Fields)
            if (known == field) {
                m_Frames[frame][field].push_back(value);
                return;
            }
    }
    bool Write(const char* path) const {
        std::FILE* out = std::fopen(path, "w");
        if (out == nullptr)
            return false;
        std::fputs("frame.number", out);
        for (const std::string& field : m_Fields)
            std::fprintf(out, "\t%s", field.c_str());
        std::fputc('\n', out);
        for (const auto& [frame, values] : m_Frames) {
            std::fprintf(out, "%d", frame);
            for (const std::string& field : m_Fields) {
                std::fputc('\t', out);
                const auto found = values.find(field);
                if (found == values.end())
                    continue;
                for (std::size_t i = 0; i < found->second.size(); ++i)
                    std::fprintf(out, "%s%s", i == 0 ? "" : "|", found->second[i].c_str());
            }
            std::fputc('\n', out);
        }
        return std::fclose(out) == 0;
    }

private:
    std::vector<std::string> m_Fields;
    std::map<int, std::map<std::string, std::vector<std::string>>> m_Frames;
};

// ------------------------------------------------------------ messages

struct Message {
    Bytes wire;  // as sent: head, scrambled body
    Bytes plain; // the body before scrambling
    Bytes after; // bytes that follow a head over 1440 and are never parsed
};

Message MakeMessage(int size, int mainId, int assistId, bool request, bool respond, bool ordinal, const Bytes& body) {
    Message m;
    YNet2::YNetMsgHead head;
    head.SetHead(static_cast<WORD>(size), static_cast<BYTE>(mainId), static_cast<BYTE>(assistId), request, respond,
                 ordinal);
    m.wire.resize(sizeof(head));
    std::memcpy(m.wire.data(), &head, sizeof(head));
    m.plain = body;
    Bytes scrambled = body;
    unsigned char unused = 0;
    if (!scrambled.empty())
        YNet2::Encode(scrambled.data(), static_cast<DWORD>(scrambled.size()), unused);
    m.wire.insert(m.wire.end(), scrambled.begin(), scrambled.end());
    return m;
}

Message Msg(int mainId, int assistId, bool request, bool respond, bool ordinal, const Bytes& body) {
    return MakeMessage(static_cast<int>(4 + body.size()), mainId, assistId, request, respond, ordinal, body);
}

bool Printable(const Bytes& b) {
    for (std::uint8_t c : b)
        if (c < 0x20 || c > 0x7E)
            return false;
    return !b.empty();
}

// What a dissector shows for a whole message.
void Expect(Expectation& x, int frame, const Message& m) {
    const int word = m.wire[0] | (m.wire[1] << 8);
    const int size = word & 0x7FFF;
    const int mainId = m.wire[2] >> 2;
    x.Add(frame, "ynet.size", std::to_string(size));
    x.Add(frame, "ynet.ordinal", word & 0x8000 ? "1" : "0");
    x.Add(frame, "ynet.request", m.wire[2] & 1 ? "1" : "0");
    x.Add(frame, "ynet.respond", m.wire[2] & 2 ? "1" : "0");
    x.Add(frame, "ynet.main", std::to_string(mainId));
    x.Add(frame, "ynet.assist", std::to_string(m.wire[3]));
    if (mainId == 0)
        x.Add(frame, "ynet.end", "1");
    if (size > YNet2::YNetMsgHead::MaxMsgSize) {
        x.Add(frame, "ynet.oversized", "1");
        if (!m.after.empty())
            x.Add(frame, "ynet.not_parsed", Hex(m.after));
        return;
    }
    if (size <= 4) {
        x.Add(frame, "ynet.head_only", "1");
        if (size < 4)
            x.Add(frame, "ynet.short_size", "1");
        return;
    }
    x.Add(frame, "ynet.sent", Hex(Bytes(m.wire.begin() + 4, m.wire.end())));
    x.Add(frame, "ynet.body", Hex(m.plain));
    if (Printable(m.plain))
        x.Add(frame, "ynet.text", std::string(m.plain.begin(), m.plain.end()));
}

// ------------------------------------------------------------ connections

// One TCP connection between 127.0.0.1 ports: a handshake, then segments
// cut from the bytes queued on each direction.
class Connection {
public:
    enum Side { Client = 0, Server = 1 };

    Connection(PcapWriter& pcap, Expectation& expect, std::uint16_t clientPort, std::uint16_t serverPort)
        : m_Pcap(pcap), m_Expect(expect), m_Port{clientPort, serverPort}, m_Seq{1000, 50000} {
        m_Pcap.Segment(m_Port[0], m_Port[1], m_Seq[0]++, 0, 0x02, {});        // SYN
        m_Pcap.Segment(m_Port[1], m_Port[0], m_Seq[1]++, m_Seq[0], 0x12, {}); // SYN, ACK
        m_Pcap.Segment(m_Port[0], m_Port[1], m_Seq[0], m_Seq[1], 0x10, {});   // ACK
    }

    // Queues a message (and the bytes after it, if any) on a direction.
    void Queue(Side from, const Message& m) {
        Bytes bytes = m.wire;
        bytes.insert(bytes.end(), m.after.begin(), m.after.end());
        m_Queue[from].insert(m_Queue[from].end(), bytes.begin(), bytes.end());
        m_Pending[from].push_back({m, bytes.size()});
    }
    // Sends one step of a SOCKS handshake as one segment; answers its frame number.
    int SendHandshake(Side from, const Bytes& bytes) {
        m_Queue[from].insert(m_Queue[from].end(), bytes.begin(), bytes.end());
        m_Pending[from].push_back({Message{}, bytes.size()});
        return Send(from);
    }
    // Queues bytes that follow a cut: shown as not parsed in their frame.
    void QueueAfterCut(Side from, const Bytes& bytes) {
        Message m;
        m.after = bytes;
        m_Queue[from].insert(m_Queue[from].end(), bytes.begin(), bytes.end());
        m_Pending[from].push_back({m, bytes.size()});
    }

    // Sends the next n queued bytes of a direction as one segment (all of
    // them when n is 0); answers the frame number.
    int Send(Side from, std::size_t n = 0) {
        std::deque<std::uint8_t>& queue = m_Queue[from];
        if (n == 0 || n > queue.size())
            n = queue.size();
        const Bytes payload(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
        const Side to = from == Client ? Server : Client;
        const int frame = m_Pcap.Segment(m_Port[from], m_Port[to], m_Seq[from], m_Seq[to], 0x18, payload);
        m_Seq[from] += static_cast<std::uint32_t>(n);
        while (n > 0 && !m_Pending[from].empty()) {
            Pending& p = m_Pending[from].front();
            const std::size_t used = std::min(n, p.left);
            p.left -= used;
            n -= used;
            if (p.left > 0)
                break;
            if (!p.message.wire.empty())
                Expect(m_Expect, frame, p.message);
            else if (!p.message.after.empty())
                ExpectAfterCut(frame, p.message.after);
            m_Pending[from].pop_front();
        }
        return frame;
    }

    // Queues and sends whole.
    int SendWhole(Side from, const Message& m) {
        Queue(from, m);
        return Send(from);
    }

private:
    void ExpectAfterCut(int frame, const Bytes& bytes) {
        m_Expect.Add(frame, "ynet.after_cut", "1");
        m_Expect.Add(frame, "ynet.not_parsed", Hex(bytes));
    }

    struct Pending {
        Message message;
        std::size_t left;
    };
    PcapWriter& m_Pcap;
    Expectation& m_Expect;
    std::uint16_t m_Port[2];
    std::uint32_t m_Seq[2];
    std::deque<std::uint8_t> m_Queue[2];
    std::deque<Pending> m_Pending[2];
};

const std::vector<std::string> kCaseFields = {"ynet.size",       "ynet.ordinal",   "ynet.request",   "ynet.respond",
                                              "ynet.main",       "ynet.assist",    "ynet.head_only", "ynet.end",
                                              "ynet.sent",       "ynet.body",      "ynet.text",      "ynet.oversized",
                                              "ynet.short_size", "ynet.after_cut", "ynet.not_parsed"};

// Answers the frame numbers of the SOCKS handshakes.
std::vector<int> WriteCases(PcapWriter& pcap, Expectation& x, std::uint16_t serverPort, std::uint16_t proxyPort) {
    std::vector<int> handshakes;
    const auto C = Connection::Client;
    const auto S = Connection::Server;

    Connection direct(pcap, x, 40001, serverPort);
    // One message split at every byte across two segments.
    for (int k = 1; k <= 16; ++k) {
        direct.Queue(C, Msg(5, k, true, false, false, Text("hello, server")));
        direct.Send(C, static_cast<std::size_t>(k));
        direct.Send(C);
    }
    // Several messages per segment, and segments that end and start inside messages.
    direct.Queue(C, Msg(1, 1, false, false, false, Text("one")));
    direct.Queue(C, Msg(2, 2, false, true, false, Text("two")));
    direct.Queue(C, Msg(3, 3, true, true, true, Text("three")));
    direct.Send(C);
    direct.Queue(C, Msg(4, 4, true, false, false, Text("four")));
    direct.Queue(C, Msg(4, 5, true, false, false, Text("five, split")));
    direct.Send(C, 8 + 5);
    direct.Queue(C, Msg(4, 6, true, false, false, Text("six")));
    direct.Queue(C, Msg(4, 7, true, false, false, Text("seven, split in its head")));
    direct.Send(C, 10 + 7 + 2);
    direct.Send(C);
    // Every head size from 0 to 4, one segment; then the end head alone.
    for (int size = 0; size <= 4; ++size)
        direct.Queue(C, MakeMessage(size, 9, size, true, false, false, {}));
    direct.Send(C);
    direct.SendWhole(C, Msg(0, 0, false, false, false, {}));
    // Exactly 1440 bytes, over three segments.
    Bytes longest;
    for (int i = 0; i < 1436; ++i)
        longest.push_back(static_cast<std::uint8_t>('a' + i % 26));
    direct.Queue(C, Msg(63, 255, true, true, true, longest));
    direct.Send(C, 600);
    direct.Send(C, 600);
    direct.Send(C);
    // The server's answers: binary, one body byte (sent as it is), two.
    direct.Queue(S, Msg(7, 0, false, true, false, Bytes{0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, '|', ','}));
    direct.Queue(S, Msg(7, 1, false, true, false, Text("x")));
    direct.Queue(S, Msg(7, 2, false, true, false, Text("ab")));
    direct.Send(S);

    // SOCKS5 through a proxy to 127.0.0.1:serverPort, then messages both ways.
    const auto hi = static_cast<std::uint8_t>(serverPort >> 8);
    const auto lo = static_cast<std::uint8_t>(serverPort);
    Connection socks5(pcap, x, 40002, proxyPort);
    handshakes.push_back(socks5.SendHandshake(C, {0x05, 0x01, 0x00}));
    handshakes.push_back(socks5.SendHandshake(S, {0x05, 0x00}));
    handshakes.push_back(socks5.SendHandshake(C, {0x05, 0x01, 0x00, 0x01, 127, 0, 0, 1, hi, lo}));
    handshakes.push_back(socks5.SendHandshake(S, {0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0}));
    socks5.Queue(C, Msg(5, 7, true, false, false, Text("hello, server")));
    socks5.Queue(C, Msg(5, 8, true, false, false, Text("through the proxy")));
    socks5.Send(C, 10);
    socks5.Send(C);
    socks5.SendWhole(S, Msg(5, 7, false, true, false, Text("hello, client")));

    // SOCKS4 CONNECT, then one message each way.
    Connection socks4(pcap, x, 40003, proxyPort);
    handshakes.push_back(socks4.SendHandshake(C, {0x04, 0x01, hi, lo, 127, 0, 0, 1, 0x00}));
    handshakes.push_back(socks4.SendHandshake(S, {0x00, 0x5A, hi, lo, 127, 0, 0, 1}));
    socks4.SendWhole(C, Msg(6, 1, true, false, false, Text("socks4")));
    socks4.SendWhole(S, Msg(6, 1, false, true, false, Text("socks4 answer")));

    // A server that announces 1441 bytes: the client cuts the connection
    // there; nothing after it in that direction has message boundaries.
    Connection cut(pcap, x, 40004, serverPort);
    cut.SendWhole(S, Msg(8, 1, false, true, false, Text("before the cut")));
    Message oversized = MakeMessage(1441, 8, 2, false, true, false, {});
    oversized.after = Text("0123456789");
    cut.SendWhole(S, oversized);
    cut.QueueAfterCut(S, Msg(8, 3, false, true, false, Text("after")).wire);
    cut.Send(S);
    cut.SendWhole(C, Msg(8, 4, true, false, false, Text("the other direction still parses")));

    return handshakes;
}

// names: SOCKS5 to a name (address type 3), SOCKS5 to an IPv6 address
// (type 4) and SOCKS4a to a name, with the request bytes the library
// builds, each followed by a message each way. Answers the frame numbers
// of the handshakes; requests gets those of the three requests.
std::vector<int> WriteNames(PcapWriter& pcap, Expectation& x, std::uint16_t serverPort, std::uint16_t proxyPort,
                            std::vector<int>& requests) {
    std::vector<int> handshakes;
    const auto C = Connection::Client;
    const auto S = Connection::Server;
    const auto hi = static_cast<std::uint8_t>(serverPort >> 8);
    const auto lo = static_cast<std::uint8_t>(serverPort);
    // Targets the proxy resolves or the client gives as IPv6, with the
    // request bytes the library sends for them.
    unsigned char request[YNet2::YSocketTarget::kMaxRequest];
    const YNet2::YSocketTarget name("example.test", serverPort);
    const YNet2::YSocketTarget v6("[2001:db8::7]", serverPort);
    auto Request = [&](int length) { return Bytes(request, request + length); };
    Connection byName(pcap, x, 40006, proxyPort);
    handshakes.push_back(byName.SendHandshake(C, {0x05, 0x01, 0x00}));
    handshakes.push_back(byName.SendHandshake(S, {0x05, 0x00}));
    handshakes.push_back(byName.SendHandshake(C, Request(name.Socks5Request(request))));
    requests.push_back(handshakes.back());
    handshakes.push_back(byName.SendHandshake(S, {0x05, 0x00, 0x00, 0x03, 4, 'h', 'o', 's', 't', hi, lo}));
    byName.SendWhole(C, Msg(10, 1, true, false, false, Text("to a name")));
    byName.SendWhole(S, Msg(10, 1, false, true, false, Text("from a name")));

    Connection byV6(pcap, x, 40007, proxyPort);
    handshakes.push_back(byV6.SendHandshake(C, {0x05, 0x01, 0x00}));
    handshakes.push_back(byV6.SendHandshake(S, {0x05, 0x00}));
    handshakes.push_back(byV6.SendHandshake(C, Request(v6.Socks5Request(request))));
    requests.push_back(handshakes.back());
    Bytes v6Reply = {0x05, 0x00, 0x00, 0x04};
    v6Reply.insert(v6Reply.end(), 16, 0);
    v6Reply.push_back(hi);
    v6Reply.push_back(lo);
    handshakes.push_back(byV6.SendHandshake(S, v6Reply));
    byV6.SendWhole(C, Msg(10, 2, true, false, false, Text("to IPv6")));
    byV6.SendWhole(S, Msg(10, 2, false, true, false, Text("from IPv6")));

    Connection socks4a(pcap, x, 40008, proxyPort);
    handshakes.push_back(socks4a.SendHandshake(C, Request(name.Socks4Request(request))));
    requests.push_back(handshakes.back());
    handshakes.push_back(socks4a.SendHandshake(S, {0x00, 0x5A, hi, lo, 0, 0, 0, 0}));
    socks4a.SendWhole(C, Msg(10, 3, true, false, false, Text("socks4a")));
    socks4a.SendWhole(S, Msg(10, 3, false, true, false, Text("socks4a answer")));
    return handshakes;
}

void WriteRandom(PcapWriter& pcap, Expectation& x, unsigned seed) {
    std::mt19937 random(seed);
    Connection c(pcap, x, 40005, 7000);
    for (int length = 0; length <= YNet2::YNetMsgHead::MaxMsgSize - 4; ++length) {
        Bytes body(static_cast<std::size_t>(length));
        for (auto& b : body)
            b = static_cast<std::uint8_t>(random());
        c.SendWhole(Connection::Client, Msg(1 + length % 63, length % 256, false, false, false, body));
    }
}

bool ParsePort(const char* text, std::uint16_t& port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: ynet-wire-capture cases|names PCAP EXPECTED SERVER_PORT PROXY_PORT\n"
                         "       ynet-wire-capture random PCAP EXPECTED SEED\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5)
        return Usage();
    const std::string mode = argv[1];
    PcapWriter pcap(argv[2]);
    if (mode == "cases" && argc == 6) {
        std::uint16_t server = 0;
        std::uint16_t proxy = 0;
        if (!ParsePort(argv[4], server) || !ParsePort(argv[5], proxy))
            return Usage();
        Expectation expect(kCaseFields);
        const std::vector<int> handshakes = WriteCases(pcap, expect, server, proxy);
        if (!pcap.Ok() || !expect.Write(argv[3]))
            return 1;
        for (int frame : handshakes)
            std::printf("%d ", frame);
        std::printf("\n");
        return 0;
    }
    if (mode == "names" && argc == 6) {
        std::uint16_t server = 0;
        std::uint16_t proxy = 0;
        if (!ParsePort(argv[4], server) || !ParsePort(argv[5], proxy))
            return Usage();
        Expectation expect(kCaseFields);
        std::vector<int> requests;
        const std::vector<int> handshakes = WriteNames(pcap, expect, server, proxy, requests);
        if (!pcap.Ok() || !expect.Write(argv[3]))
            return 1;
        for (int frame : handshakes)
            std::printf("%d ", frame);
        std::printf("\t");
        for (int frame : requests)
            std::printf("%d%s", frame, frame == requests.back() ? "" : ", ");
        std::printf("\n");
        return 0;
    }
    if (mode == "random" && argc == 5) {
        Expectation expect({"ynet.size", "ynet.sent", "ynet.body"});
        WriteRandom(pcap, expect, static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
        if (!pcap.Ok() || !expect.Write(argv[3]))
            return 1;
        return 0;
    }
    return Usage();
}
