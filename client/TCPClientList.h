// Public header.
/// @file
/// TCPClientList: one kernel object through which many client connections are
/// addressed.
///
/// @class YNet2::TCPClientList
/// The list is a ClientNetKernel that is not a connection itself. Each of its
/// per-connection operations takes a connection object as its first argument
/// (a kernel that is itself the connection: TCPClient, TCPClient_Socks5) and
/// forwards the call to that object's own virtual operation with the
/// connection argument 0. Its message operations forward to its worker.
///
/// The list holds no collection: the connection objects belong to the
/// caller, who passes a live one with every call, and ending and destroying
/// them stays with their owner. The worker is the owner's and is not owned.
///
/// Threads: the list takes no lock and starts no thread that does work;
/// each call runs in the calling thread under the rules of the connection
/// object (TCPClient's: sends from any thread, Release/Wait_Release from
/// the owner's).
///
/// Table of virtual operations: [0] destructor, [1] Run (returns 0),
/// [2] CreateThread, [3] SendMsg, [4] Error, [5] SetData, [6] GetData.
#pragma once

#include "client/ClientNetKernel.h"
#include "client/MsgWorker.h"
#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API TCPClientList : public ClientNetKernel {
public:
    /// A list whose message operations go to worker (not owned; may be null).
    explicit TCPClientList(MsgWorker* worker);
    /// Copy as NetKernel copies, and the worker pointer.
    ///@{
    TCPClientList(const TCPClientList& other);
    TCPClientList& operator=(const TCPClientList& other);
    ///@}
    /// Touches neither the worker nor any connection.
    ~TCPClientList() override;

    /// Does nothing: the connections are released by their owner.
    void Release();

    /// connection is a kernel that is itself a connection, passed as void*
    /// from a NetKernel* (or a pointer to a class derived from it). Each call
    /// returns that connection's own result: SendMsg the bytes sent, 0 or -1;
    /// Error the code after logging text. A null connection reaches nothing:
    /// SendMsg returns 0, Error logs text and returns code, GetData returns
    /// null.
    ///@{
    int SendMsg(void* connection, void* data, int length) override;
    LONG Error(void* connection, LONG code, const char* text) override;
    void SetData(void* connection, void* data) override;
    void* GetData(void* connection) override;
    ///@}

protected:
    /// A thread started for the list has nothing to do: returns 0 at once.
    LONG Run(void* param) override;

    /// The worker's operations of the same names, with the same arguments,
    /// for classes derived from the list; they post no notification. Without
    /// a worker they do nothing and return 0.
    ///@{
    LONG HandleMessage(void* message, int length, void* connection, void* kernel);
    LONG MsgThreadBegin(void* p);
    void MsgThreadEnd(void* p);
    ///@}

    MsgWorker* m_Worker; ///< not owned
};

} // namespace YNet2
