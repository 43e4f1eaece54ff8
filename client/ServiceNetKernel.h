// Public header.
/// @file
/// ServiceNetKernel: base of service-side connection kernels.
///
/// @class YNet2::ServiceNetKernel
/// Adds nothing to NetKernel; the table of virtual operations is NetKernel's.
/// No class of this library derives from it; it is offered to applications.
#pragma once

#include "client/NetKernel.h"
#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API ServiceNetKernel : public NetKernel {
public:
    ServiceNetKernel();
    /// Copy as NetKernel copies.
    ///@{
    ServiceNetKernel(const ServiceNetKernel& other);
    ServiceNetKernel& operator=(const ServiceNetKernel& other);
    ///@}
    ~ServiceNetKernel() override;
};

} // namespace YNet2
