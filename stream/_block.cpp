#include "stream/_block.h"

namespace YNet2 {

_block::_block() : m_Len(0), m_Offset(0), m_Keep(0), m_Prev(nullptr), m_Next(nullptr) {}

} // namespace YNet2
