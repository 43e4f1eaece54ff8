#include "client/MsgWorker.h"

namespace YNet2 {

MsgWorker::MsgWorker(HWND window, ULONG message) : m_Window(window), m_MsgID(message) {}

MsgWorker::MsgWorker(const MsgWorker& other) = default;

MsgWorker& MsgWorker::operator=(const MsgWorker& other) {
    m_Window = other.m_Window;
    m_MsgID = other.m_MsgID;
    return *this;
}

MsgWorker::~MsgWorker() = default;

LONG MsgWorker::MsgThreadBegin(void* /*kernel*/) {
    return 0;
}

void MsgWorker::MsgThreadEnd(void* /*kernel*/) {}

void MsgWorker::TimerFunc() {}

bool MsgWorker::PostMsg(ULONG wParam, ULONG lParam) {
    if (m_Window == nullptr)
        return false;
    return PostMessageA(m_Window, m_MsgID, wParam, static_cast<LPARAM>(lParam)) != FALSE;
}

void MsgWorker::SendMsg(ULONG wParam, ULONG lParam) {
    if (m_Window == nullptr)
        return;
    SendMessageA(m_Window, m_MsgID, wParam, static_cast<LPARAM>(lParam));
}

} // namespace YNet2
