#include "message/YNetMsgHead.h"

namespace YNet2 {
namespace {

constexpr unsigned char kOrdinalBit = 0x80; // bit 15 of the word, bit 7 of byte 1
constexpr unsigned char kRequestBit = 0x01;
constexpr unsigned char kRespondBit = 0x02;
constexpr unsigned char kFlagBits = kRequestBit | kRespondBit;

} // namespace

void YNetMsgHead::Clear() {
    m_Bytes[0] = 0;
    m_Bytes[1] = 0;
    m_Bytes[2] = 0;
    m_Bytes[3] = 0;
}

int YNetMsgHead::GetSize() const {
    return m_Bytes[0] | ((m_Bytes[1] & 0x7F) << 8);
}

void YNetMsgHead::SetSize(WORD size) {
    m_Bytes[0] = static_cast<unsigned char>(size & 0xFF);
    m_Bytes[1] = static_cast<unsigned char>((m_Bytes[1] & kOrdinalBit) | ((size >> 8) & 0x7F));
}

BYTE YNetMsgHead::GetMainID() const {
    return static_cast<BYTE>(m_Bytes[2] >> 2);
}

void YNetMsgHead::SetMainID(BYTE id) {
    m_Bytes[2] = static_cast<unsigned char>(((id << 2) & 0xFF) | (m_Bytes[2] & kFlagBits));
}

BYTE YNetMsgHead::GetAssistantID() const {
    return m_Bytes[3];
}

void YNetMsgHead::SetAssistantID(BYTE id) {
    m_Bytes[3] = id;
}

bool YNetMsgHead::IsRequestMsg() const {
    return (m_Bytes[2] & kRequestBit) != 0;
}

void YNetMsgHead::Request() {
    m_Bytes[2] |= kRequestBit;
}

bool YNetMsgHead::IsRespondMsg() const {
    return (m_Bytes[2] & kRespondBit) != 0;
}

void YNetMsgHead::Respond() {
    m_Bytes[2] |= kRespondBit;
}

bool YNetMsgHead::IsOrdinal() const {
    return (m_Bytes[1] & kOrdinalBit) != 0;
}

void YNetMsgHead::Ordinal() {
    m_Bytes[1] |= kOrdinalBit;
}

bool YNetMsgHead::IsEndConnect() const {
    return m_Bytes[2] < 4;
}

void YNetMsgHead::SetHead(WORD size, BYTE mainID, BYTE assistantID, bool request, bool respond, bool ordinal) {
    m_Bytes[0] = static_cast<unsigned char>(size & 0xFF);
    m_Bytes[1] = static_cast<unsigned char>((ordinal ? kOrdinalBit : 0) | ((size >> 8) & 0x7F));
    m_Bytes[2] =
        static_cast<unsigned char>(((mainID << 2) & 0xFF) | (respond ? kRespondBit : 0) | (request ? kRequestBit : 0));
    m_Bytes[3] = assistantID;
}

} // namespace YNet2
