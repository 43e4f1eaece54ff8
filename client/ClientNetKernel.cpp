#include "client/ClientNetKernel.h"

namespace YNet2 {

ClientNetKernel::ClientNetKernel() = default;

ClientNetKernel::ClientNetKernel(const ClientNetKernel& other) = default;

ClientNetKernel& ClientNetKernel::operator=(const ClientNetKernel& other) {
    NetKernel::operator=(other);
    return *this;
}

ClientNetKernel::~ClientNetKernel() = default;

} // namespace YNet2
