#include "client/ServiceNetKernel.h"

namespace YNet2 {

ServiceNetKernel::ServiceNetKernel() = default;

ServiceNetKernel::ServiceNetKernel(const ServiceNetKernel& other) = default;

ServiceNetKernel& ServiceNetKernel::operator=(const ServiceNetKernel& other) {
    NetKernel::operator=(other);
    return *this;
}

ServiceNetKernel::~ServiceNetKernel() = default;

} // namespace YNet2
