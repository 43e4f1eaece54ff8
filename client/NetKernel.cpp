#include "client/NetKernel.h"

namespace YNet2 {

NetKernel::NetKernel() = default;

NetKernel::NetKernel(const NetKernel& other) = default;

NetKernel& NetKernel::operator=(const NetKernel& other) {
    YThread::operator=(other);
    return *this;
}

NetKernel::~NetKernel() = default;

} // namespace YNet2
