#include "client/TCPClientList.h"

#include "framework/Log.h"

namespace YNet2 {
namespace {

NetKernel* Connection(void* connection) {
    return static_cast<NetKernel*>(connection);
}

} // namespace

TCPClientList::TCPClientList(MsgWorker* worker) : m_Worker(worker) {}

TCPClientList::TCPClientList(const TCPClientList& other) : ClientNetKernel(other), m_Worker(other.m_Worker) {}

TCPClientList& TCPClientList::operator=(const TCPClientList& other) {
    if (this == &other)
        return *this;
    ClientNetKernel::operator=(other);
    m_Worker = other.m_Worker;
    return *this;
}

TCPClientList::~TCPClientList() = default;

void TCPClientList::Release() {}

int TCPClientList::SendMsg(void* connection, void* data, int length) {
    if (connection == nullptr)
        return 0;
    return Connection(connection)->SendMsg(nullptr, data, length);
}

LONG TCPClientList::Error(void* connection, LONG code, const char* text) {
    if (connection == nullptr)
        return YRet(code, "%s", text != nullptr ? text : "");
    return Connection(connection)->Error(nullptr, code, text);
}

void TCPClientList::SetData(void* connection, void* data) {
    if (connection != nullptr)
        Connection(connection)->SetData(nullptr, data);
}

void* TCPClientList::GetData(void* connection) {
    if (connection == nullptr)
        return nullptr;
    return Connection(connection)->GetData(nullptr);
}

LONG TCPClientList::Run(void* /*param*/) {
    CleanUp(); // nothing to do: release the thread base's handles at once
    return 0;
}

LONG TCPClientList::HandleMessage(void* message, int length, void* connection, void* kernel) {
    if (m_Worker == nullptr)
        return 0;
    return m_Worker->HandleMessage(message, length, connection, kernel);
}

LONG TCPClientList::MsgThreadBegin(void* p) {
    if (m_Worker == nullptr)
        return 0;
    return m_Worker->MsgThreadBegin(p);
}

void TCPClientList::MsgThreadEnd(void* p) {
    if (m_Worker != nullptr)
        m_Worker->MsgThreadEnd(p);
}

} // namespace YNet2
