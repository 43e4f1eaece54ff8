// Public header.
/// @file
/// ClientNetKernel: base of the client connection kernels (TCPClient,
/// TCPClientList).
///
/// @class YNet2::ClientNetKernel
/// Adds nothing to NetKernel; the table of virtual operations is NetKernel's.
#pragma once

#include "client/NetKernel.h"
#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API ClientNetKernel : public NetKernel {
public:
    ClientNetKernel();
    /// Copy as NetKernel copies.
    ///@{
    ClientNetKernel(const ClientNetKernel& other);
    ClientNetKernel& operator=(const ClientNetKernel& other);
    ///@}
    ~ClientNetKernel() override;
};

} // namespace YNet2
