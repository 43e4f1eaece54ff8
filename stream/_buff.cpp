#include "stream/_buff.h"

#include "stream/LockHolder.h"

namespace YNet2 {

_buff::_buff() {
    InitializeCriticalSection(&m_Lock);
}

_buff::~_buff() {
    DeleteCriticalSection(&m_Lock);
}

_block* _buff::Add() {
    _block* block;
    {
        LockHolder hold(&m_Lock);
        block = YLink<_block, 1024, 64>::Add();
    }
    if (block != nullptr) {
        block->m_Len = 0;
        block->m_Offset = 0;
    }
    return block;
}

DWORD _buff::Total() {
    LockHolder hold(&m_Lock);
    return m_Total;
}

DWORD _buff::Taken() {
    LockHolder hold(&m_Lock);
    return m_Count;
}

} // namespace YNet2
