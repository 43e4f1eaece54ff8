#include "client/SendStream.h"

namespace YNet2 {

SendStream& SendStream::operator=(const SendStream& other) {
    m_Word1 = other.m_Word1;
    m_Word2 = other.m_Word2;
    return *this;
}

} // namespace YNet2
