// Public header.
/// @file
/// NetKernel: the connection-kernel interface.
///
/// @class YNet2::NetKernel
/// A kernel owns a thread through YThread and offers four per-connection
/// operations. Each takes the connection it applies to as its first argument:
/// a kernel that is itself the connection (TCPClient) ignores it and hands
/// out 0 wherever it passes a connection on; TCPClientList forwards to the
/// connection object named by it.
///
/// Table of virtual operations, part of the interface, in this order:
///
///       [0] virtual destructor
///       [1] Run(void*)               YThread's thread body
///       [2] CreateThread(...)        YThread's, never overridden
///       [3] SendMsg(connection, data, length)
///       [4] Error(connection, code, text)
///       [5] SetData(connection, data)
///       [6] GetData(connection)
#pragma once

#include "framework/YThread.h"
#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API NetKernel : public YThread {
public:
    NetKernel();
    /// Copy as YThread copies: the thread stays with its object.
    ///@{
    NetKernel(const NetKernel& other);
    NetKernel& operator=(const NetKernel& other);
    ///@}
    ~NetKernel() override;

    /// Sends one whole message (4-byte head and body) of length bytes held at
    /// data. Returns the bytes sent, 0 when nothing could be sent, -1 on a
    /// socket error.
    virtual int SendMsg(void* connection, void* data, int length) = 0;

    /// Writes text to the log and returns code.
    virtual LONG Error(void* connection, LONG code, const char* text) = 0;

    /// Attaches the owner's pointer to the connection and reads it back. The
    /// kernel never uses or frees it.
    ///@{
    virtual void SetData(void* connection, void* data) = 0;
    virtual void* GetData(void* connection) = 0;
    ///@}
};

} // namespace YNet2
