// Public header.
/// @file
/// MsgWorker: the owner's callback object of a connection kernel.
///
/// @class YNet2::MsgWorker
/// The application derives its worker from MsgWorker, constructed with its
/// window and a window message number, and hands a pointer to it to each
/// kernel it creates. Kernels never own or delete the worker: the owner keeps
/// it alive while any kernel that points to it exists.
///
/// Notifications posted to m_Window as message m_MsgID, lParam 0:
///
///       wParam 1  connected            (TCPClient::Init, owner's thread)
///       wParam 2  receive thread started (first step of the receive thread)
///       wParam 3  receive thread ended   (last step of the receive thread)
///
/// Nothing is posted when m_Window is null.
///
/// Threads: HandleMessage, ConnectionCut, MsgThreadBegin and MsgThreadEnd run
/// in the receive thread of the connection; a worker given to several kernels
/// is called from each of their threads with no lock taken, so it guards its
/// own state. PostMsg may be called from any thread.
///
/// Table of virtual operations, part of the interface, in this order:
///
///       [0] HandleMessage   [1] ConnectionCut   [2] ConnectionAccept
///       [3] MsgThreadBegin  [4] MsgThreadEnd    [5] TimerFunc
///
/// followed by the destructor, which the library never calls.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API MsgWorker {
public:
    /// A worker whose notifications go to window as message (window may be null).
    MsgWorker(HWND window, ULONG message);
    /// Copy the window and the message number.
    ///@{
    MsgWorker(const MsgWorker& other);
    MsgWorker& operator=(const MsgWorker& other);
    ///@}

    /// One received message: message points at the head followed by the
    /// unscrambled body, valid only during the call; length is the number of
    /// bytes received. connection is the argument to give back to kernel's
    /// operations (0 from a TCPClient); kernel is the NetKernel that received
    /// it, through which the handler may answer (SendMsg) or use
    /// SetData/GetData. 0: keep receiving; any other value cuts the
    /// connection and ends its receive thread.
    virtual LONG HandleMessage(void* message, int length, void* connection, void* kernel) = 0;

    /// The connection is being cut (TCPClient passes 0). The result is not used.
    virtual LONG ConnectionCut(void* connection) = 0;

    /// A service kernel's report of a connection it accepted. The client
    /// kernels of this library never call it.
    virtual LONG ConnectionAccept(void* connection) = 0;

    /// First call of a receive thread, with its kernel. A non-zero result
    /// makes the thread skip its receive loop. The default returns 0.
    virtual LONG MsgThreadBegin(void* kernel);

    /// Last worker call of a receive thread, with its kernel. The default does nothing.
    virtual void MsgThreadEnd(void* kernel);

    /// No caller in this library; for the owner's own timer. The default does nothing.
    virtual void TimerFunc();

    /// Declared after every other operation so that the six slots above keep
    /// their places; the library never destroys a worker.
    virtual ~MsgWorker();

    /// PostMessageA(m_Window, m_MsgID, wParam, lParam): true when the message
    /// was posted, false when it was not or when there is no window.
    bool PostMsg(ULONG wParam, ULONG lParam);

protected:
    /// SendMessageA(m_Window, m_MsgID, wParam, lParam) when there is a window;
    /// returns once the window's thread has handled it. A handler may send to
    /// the window of the thread that ends its client: the library's waits for
    /// a receive thread (Wait_Release, destruction) run the messages sent to
    /// the waiting thread's windows. A wait of the owner's own that runs
    /// nothing (WaitForSingleObject on something the handler holds up) would
    /// still deadlock.
    void SendMsg(ULONG wParam, ULONG lParam);

    HWND m_Window; ///< owner window; null: no notifications
    ULONG m_MsgID; ///< window message number of every notification
};

} // namespace YNet2
