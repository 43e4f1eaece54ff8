// Public header.
/// @file
/// The whole YonderNetC interface: everything lives in the namespace YNet2,
/// above the system API of platform/WinApi.h.
#pragma once

#include "platform/WinApi.h"

#include "framework/Log.h"
#include "framework/YThread.h"

#include "message/EndConnectMsg.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "message/YNetVarietyMsg.h"

#include "stream/LockHolder.h"
#include "stream/NetMsgRun.h"
#include "stream/NetStream.h"
#include "stream/YLink.h"
#include "stream/_block.h"
#include "stream/_buff.h"

#include "socket/AddrText.h"
#include "socket/ProxyUrl.h"
#include "socket/SocketStack.h"
#include "socket/YSocket.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"
#include "socket/YSocket_Socks5.h"

#include "client/ClientNetKernel.h"
#include "client/ClientSocket.h"
#include "client/MsgWorker.h"
#include "client/NetKernel.h"
#include "client/SendStream.h"
#include "client/ServiceNetKernel.h"
#include "client/TCPClient.h"
#include "client/TCPClientList.h"
#include "client/TCPClient_Socks5.h"

/// @namespace YNet2
/// The library's C++ interface: connections (TCPClient, TCPClient_Socks5),
/// the worker that receives their messages (MsgWorker), the receive stream
/// (NetStream), messages (YNetMsgHead, YNetVarietyMsg, Encode and Decode),
/// sockets and addresses (YSocket, YSocketAddr, YSocketTarget, AddrText.h),
/// the socket stack (SocketInit), the log (SetLogSink) and the thread base
/// (YThread).
