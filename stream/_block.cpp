#include "stream/_block.h"

#include <cstddef>

namespace YNet2 {

_block::_block() : m_Len(0), m_Offset(0), m_Keep(0), m_Prev(nullptr), m_Next(nullptr) {}

} // namespace YNet2

// The record is laid out as on the 32-bit target, where it is 2896 bytes:
// the 2880 message bytes, then the two counts, the keep flag and the links.
static_assert(offsetof(YNet2::_block, m_Len) == YNet2::_block::Size);
static_assert(offsetof(YNet2::_block, m_Offset) == YNet2::_block::Size + 2);
static_assert(offsetof(YNet2::_block, m_Keep) == YNet2::_block::Size + 4);
static_assert(offsetof(YNet2::_block, m_Prev) == YNet2::_block::Size + 8);
static_assert(sizeof(YNet2::_block) == YNet2::_block::Size + 8 + 2 * sizeof(void*));
