// Public header.
/// @file
/// YLink: the pooled linked list behind the block pool and every receive
/// stream's list of blocks.
///
/// @class YNet2::YLink
/// Nodes are allocated in chunks (N nodes in the first, G in every later
/// one), never freed one by one, and move between a used part and a free part
/// of one chain by relinking:
///
///       m_Head                  m_Cursor                          m_Last
///         |                        |                                 |
///         v                        v                                 v
///       [used] -> [used] -> ... -> [free] -> [free] -> ... -> [free] -> null
///       \______ m_Count nodes ____/\_____ at least one, always ________/
///
/// Add hands out the cursor node and grows the chain when that node was the
/// last one, so the cursor is never null after a successful construction.
/// Remove of the last used node makes it the cursor again (it is handed out
/// next); removing any other used node moves it to the far end of the chain
/// (handed out after every other free node). The used part keeps its order.
///
/// Two forms share the name:
///
///       YLink<V, N, G>  value list: separate nodes that hold one value each
///                       (next link only). Used with V = _block*, N = G = 4.
///       YLink<R, N, G>  record chain, chosen when R has `R* m_Prev` and
///                       `R* m_Next`: the records themselves are the nodes.
///                       Used by the block pool with N = 1024, G = 64.
///
///
/// Neither form locks: the owner holds its own lock around Add and Remove.
/// The fields are public for inspection; only Add, Remove and Reset change
/// them. Lists are not copyable: a copy would free the same chunks twice.
#pragma once

#include "framework/Log.h"
#include "platform/WinApi.h"

#include <concepts>
#include <cstddef>
#include <new>

namespace YNet2 {

/// Chunk storage of every YLink, kept in the library so that all lists
/// allocate alike. YLinkChunkAlloc returns null when the memory is not there;
/// `nodes` is the chunk's node count (it lets tests fail one kind of chunk).
///@{
YNET_API void* YLinkChunkAlloc(std::size_t bytes, int nodes);
YNET_API void YLinkChunkFree(void* chunk);
///@}

/// The chunks one list allocated, in allocation order; used only to free them.
class YNET_API YLinkChunks {
public:
    YLinkChunks();
    ~YLinkChunks();
    YLinkChunks(const YLinkChunks&) = delete;
    YLinkChunks& operator=(const YLinkChunks&) = delete;

    /// Appends chunk; false (and nothing changed) when the array cannot grow.
    bool Push(void* chunk);
    /// A new chunk of n nodes of nodeSize bytes, recorded here; on failure
    /// logs "YLink::alloc(%d) fail!" with n and answers null, nothing changed.
    void* Allocate(std::size_t nodeSize, int n);
    /// The number of chunks recorded, and the chunk recorded i-th.
    ///@{
    int Size() const { return m_Size; }
    void* At(int i) const { return m_Items[i]; }
    ///@}
    /// Forgets every entry (the caller frees the chunks) and the array itself.
    void Empty();

private:
    void** m_Items;
    int m_Size;
    int m_Capacity;
};

/// What makes YLink a record chain: R links to its neighbours itself.
template <class R>
concept YLinkRecord = requires(R& record) {
    { record.m_Prev } -> std::same_as<R*&>;
    { record.m_Next } -> std::same_as<R*&>;
};

/// A node of a value list: one value and the link to the next node.
template <class V> struct YLinkNode {
    V m_Value;         ///< V() while the node is free
    YLinkNode* m_Next; ///< null for the chain's last node
};

// ---------------------------------------------------------------- value list
template <class V, int N, int G> class YLink {
public:
    /// The value list's node.
    typedef YLinkNode<V> Node;

    /// Builds the first chunk of N nodes; on failure logs and holds no node
    /// (Add then tries to build it again).
    YLink() : m_Head(nullptr), m_Cursor(nullptr), m_Last(nullptr), m_Total(0), m_Count(0) {
        m_Head = m_Cursor = alloc(N);
        if (m_Head == nullptr)
            Debug("YLink<%d,%d>::YLink fail!", N, G);
    }

    ~YLink() {
        m_Head = m_Cursor = m_Last = nullptr;
        m_Total = m_Count = 0;
        for (int i = 0; i < m_Chunks.Size(); ++i)
            YLinkChunkFree(m_Chunks.At(i));
        m_Chunks.Empty();
    }

    YLink(const YLink&) = delete;
    YLink& operator=(const YLink&) = delete;

    /// A new chunk of n zeroed nodes linked to each other, not yet linked
    /// into the chain (the caller hangs it behind the old m_Last); null and
    /// nothing changed on failure.
    Node* alloc(int n) {
        void* memory = m_Chunks.Allocate(sizeof(Node), n);
        if (memory == nullptr)
            return nullptr;
        Node* nodes = static_cast<Node*>(memory);
        for (int i = 0; i < n; ++i)
            new (&nodes[i]) Node{V(), nullptr};
        for (int i = 0; i + 1 < n; ++i)
            nodes[i].m_Next = &nodes[i + 1];
        m_Last = &nodes[n - 1];
        m_Total += static_cast<DWORD>(n);
        return nodes;
    }

    /// Records value in the cursor node; null when the list cannot grow, and
    /// then value is not in the list.
    Node* Add(V value) {
        if (m_Cursor == nullptr && (m_Head = m_Cursor = alloc(N)) == nullptr) {
            YRet(-1, "YLink::Add()");
            return nullptr;
        }
        Node* node = m_Cursor;
        if (node->m_Next == nullptr && (node->m_Next = alloc(G)) == nullptr) {
            YRet(-1, "YLink::Add()");
            return nullptr;
        }
        node->m_Value = value;
        m_Cursor = node->m_Next;
        ++m_Count;
        return node;
    }

    /// 0, or E_FAIL (nothing changed) when no used node holds value.
    LONG Remove(V value) {
        Node* before = nullptr;
        Node* node = m_Head;
        DWORD i = 0;
        for (; i < m_Count && node->m_Value != value; ++i) {
            before = node;
            node = node->m_Next;
        }
        if (i == m_Count)
            return E_FAIL;
        --m_Count;
        node->m_Value = V();
        if (node->m_Next == m_Cursor) { // the last used node: handed out next
            m_Cursor = node;
            return 0;
        }
        if (before != nullptr)
            before->m_Next = node->m_Next;
        else
            m_Head = node->m_Next;
        m_Last->m_Next = node;
        node->m_Next = nullptr;
        m_Last = node;
        return 0;
    }

    /// The value of the first used node, or V() when none is used.
    V First() const { return m_Count != 0 ? m_Head->m_Value : V(); }

    /// Every node free again, in chain order; values are cleared, whatever
    /// they pointed at is left to the caller.
    void Reset() {
        Node* node = m_Head;
        for (DWORD i = 0; i < m_Count; ++i, node = node->m_Next)
            node->m_Value = V();
        m_Count = 0;
        m_Cursor = m_Head;
    }

    Node* m_Head;         ///< the chain's first node, the first used one when any is used
    Node* m_Cursor;       ///< the node Add hands out next, the first free one
    Node* m_Last;         ///< the chain's last node
    DWORD m_Total;        ///< nodes allocated
    DWORD m_Count;        ///< nodes used
    YLinkChunks m_Chunks; ///< every chunk allocated, to free them
};

// ---------------------------------------------------------------- record chain
/// The record chain, the form of YLink chosen when R is a YLinkRecord.
template <YLinkRecord R, int N, int G> class YLink<R, N, G> {
public:
    YLink() : m_Head(nullptr), m_Cursor(nullptr), m_Last(nullptr), m_Total(0), m_Count(0) {
        m_Head = m_Cursor = alloc(N);
        if (m_Head == nullptr)
            Debug("YLink<%d,%d>::YLink fail!", N, G);
    }

    /// Records still taken at this point are destroyed with their chunks.
    ~YLink() {
        m_Head = m_Cursor = m_Last = nullptr;
        m_Total = m_Count = 0;
        for (int i = 0; i < m_Chunks.Size(); ++i) {
            R* records = static_cast<R*>(m_Chunks.At(i));
            for (int k = 0, n = i == 0 ? N : G; k < n; ++k)
                records[k].~R();
            YLinkChunkFree(records);
        }
        m_Chunks.Empty();
    }

    YLink(const YLink&) = delete;
    YLink& operator=(const YLink&) = delete;

    /// A new chunk of n records, each constructed empty, linked both ways;
    /// record 0's previous link is the old m_Last. Null, nothing changed, on
    /// failure.
    R* alloc(int n) {
        void* memory = m_Chunks.Allocate(sizeof(R), n);
        if (memory == nullptr)
            return nullptr;
        R* records = static_cast<R*>(memory);
        for (int i = 0; i < n; ++i)
            new (&records[i]) R();
        records[0].m_Prev = m_Last;
        for (int i = 0; i + 1 < n; ++i) {
            records[i].m_Next = &records[i + 1];
            records[i + 1].m_Prev = &records[i];
        }
        m_Last = &records[n - 1];
        m_Total += static_cast<DWORD>(n);
        return records;
    }

    /// Hands out the cursor record (not reset: the owner does that); null
    /// when the chain cannot grow, and then nothing is handed out.
    R* Add() {
        if (m_Cursor == nullptr && (m_Head = m_Cursor = alloc(N)) == nullptr) {
            YRet(-1, "YLink::Add()");
            return nullptr;
        }
        R* record = m_Cursor;
        if (record->m_Next == nullptr && (record->m_Next = alloc(G)) == nullptr) {
            YRet(-1, "YLink::Add()");
            return nullptr;
        }
        m_Cursor = record->m_Next;
        ++m_Count;
        return record;
    }

    /// 0, or E_FAIL (nothing changed) when record is not in the used part.
    LONG Remove(R* record) {
        R* node = m_Head;
        DWORD i = 0;
        for (; i < m_Count && node != record; ++i)
            node = node->m_Next;
        if (i == m_Count)
            return E_FAIL;
        --m_Count;
        if (record->m_Next == m_Cursor) { // the last used record: handed out next
            m_Cursor = record;
            return 0;
        }
        R* before = record->m_Prev;
        R* after = record->m_Next;
        if (before != nullptr)
            before->m_Next = after;
        else
            m_Head = after;
        after->m_Prev = before;
        m_Last->m_Next = record;
        record->m_Prev = m_Last;
        record->m_Next = nullptr;
        m_Last = record;
        return 0;
    }

    R* m_Head;            ///< the chain's first node, the first used one when any is used
    R* m_Cursor;          ///< the node Add hands out next, the first free one
    R* m_Last;            ///< the chain's last node
    DWORD m_Total;        ///< nodes allocated
    DWORD m_Count;        ///< nodes used
    YLinkChunks m_Chunks; ///< every chunk allocated, to free them
};

} // namespace YNet2
