// HashTrie<V>: a persistent hash map from std::string to V (a hash array mapped trie in
// the CHAMP layout: each node has one bitmap for inline entries and one for children).
//
// Copying a map is O(1) and shares every node; a change copies only the nodes on its path
// that another copy still holds (node reference count above 1) and updates the rest in
// place, so a copy never sees later changes. Node counts are atomic, so copies may live on
// any thread; one map object is read by any number of threads or changed by one.
//
// Every map carries its own secret SipHash key, drawn when its first entry goes in and kept
// by copies, moves and clear, so a map hashes the same wherever it travels. An empty map
// owns no node: nothing is shared between maps that did not copy each other, and a change
// that copies no node makes no atomic update at all.
//
// Changes are noexcept: running out of memory halfway would leave a map half changed, so it
// ends the process. Reads never allocate.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/bits.hpp"
#include "base/siphash.hpp"

namespace store {
namespace detail {

inline constexpr unsigned kTrieBits = 5;
inline constexpr unsigned kHashBits = 64;
// Levels of 5 hash bits (the last one has 4), then one collision level.
inline constexpr unsigned kTrieMaxDepth = (kHashBits + kTrieBits - 1) / kTrieBits + 1;

inline std::uint32_t trie_bit(std::uint64_t hash, unsigned shift) noexcept {
  return std::uint32_t{1} << ((hash >> shift) & ((1u << kTrieBits) - 1));
}

inline std::uint32_t trie_index(std::uint32_t bitmap, std::uint32_t bit) noexcept {
  return base::popcount32(bitmap & (bit - 1));
}

// One trie node in one heap block: this header, the entries, then the child pointers.
// Below the last hash level a node is a collision node: `datamap` counts its entries.
template <class Entry>
struct TrieNode {
  std::atomic<std::uint32_t> refs{1};
  std::uint32_t datamap = 0;
  std::uint32_t nodemap = 0;
  std::uint32_t collision = 0;

  static constexpr std::size_t kHeader =
      (sizeof(std::uint64_t) * 2 + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);

  std::uint32_t data_count() const noexcept {
    return collision ? datamap : base::popcount32(datamap);
  }
  std::uint32_t child_count() const noexcept { return base::popcount32(nodemap); }
  Entry* entries() noexcept {
    return reinterpret_cast<Entry*>(reinterpret_cast<char*>(this) + kHeader);
  }
  const Entry* entries() const noexcept {
    return reinterpret_cast<const Entry*>(reinterpret_cast<const char*>(this) + kHeader);
  }
  TrieNode** children() noexcept { return reinterpret_cast<TrieNode**>(entries() + data_count()); }
  TrieNode* const* children() const noexcept {
    return reinterpret_cast<TrieNode* const*>(entries() + data_count());
  }

  // A node shell with room for `nd` entries and `nc` children, none constructed yet.
  static TrieNode* allocate(std::uint32_t nd, std::uint32_t nc, bool is_collision) noexcept {
    void* mem = ::operator new(kHeader + nd * sizeof(Entry) + nc * sizeof(TrieNode*));
    auto* n = new (mem) TrieNode;
    n->collision = is_collision;
    return n;
  }

  // Frees the block; its entries must already be destroyed or moved-from-and-destroyed.
  static void free_shell(TrieNode* n) noexcept {
    n->~TrieNode();
    ::operator delete(static_cast<void*>(n));
  }

  static void retain(TrieNode* n) noexcept { n->refs.fetch_add(1, std::memory_order_relaxed); }

  static void release(TrieNode* n) noexcept {
    if (n && n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(n);
  }

  static void destroy(TrieNode* n) noexcept {
    const std::uint32_t nd = n->data_count(), nc = n->child_count();
    Entry* e = n->entries();
    for (std::uint32_t i = 0; i < nd; ++i) e[i].~Entry();
    TrieNode** c = reinterpret_cast<TrieNode**>(e + nd);
    for (std::uint32_t i = 0; i < nc; ++i) release(c[i]);
    free_shell(n);
  }

  // A private copy of `n`: entries copied, children shared.
  static TrieNode* clone(const TrieNode* n) noexcept {
    const std::uint32_t nd = n->data_count(), nc = n->child_count();
    TrieNode* m = allocate(nd, nc, n->collision);
    m->datamap = n->datamap;
    m->nodemap = n->nodemap;
    const Entry* from = n->entries();
    Entry* to = m->entries();
    for (std::uint32_t i = 0; i < nd; ++i) new (to + i) Entry(from[i]);
    TrieNode* const* fc = n->children();
    TrieNode** tc = m->children();
    for (std::uint32_t i = 0; i < nc; ++i) {
      tc[i] = fc[i];
      retain(fc[i]);
    }
    return m;
  }

  // `n` (owned) rebuilt with datamap `dm` and nodemap `nm`: entry slot `skip_entry` of the
  // old node dropped (if not npos), `add` moved in at new entry slot `add_at` (if given),
  // child slot `skip_child` dropped, `child` put in at new child slot `child_at`.
  // Consumes `n`'s shell; children move without count changes.
  static constexpr std::uint32_t npos = ~std::uint32_t{0};
  static TrieNode* rebuild(TrieNode* n, std::uint32_t dm, std::uint32_t nm,
                           std::uint32_t skip_entry, Entry* add, std::uint32_t add_at,
                           std::uint32_t skip_child, TrieNode* child,
                           std::uint32_t child_at) noexcept {
    const bool coll = n->collision != 0;
    const std::uint32_t old_nd = n->data_count(), old_nc = n->child_count();
    TrieNode* m = allocate(coll ? dm : base::popcount32(dm), base::popcount32(nm), coll);
    m->datamap = dm;
    m->nodemap = nm;
    Entry* from = n->entries();
    Entry* to = m->entries();
    for (std::uint32_t i = 0, j = 0; i <= old_nd; ++i) {
      if (add && j == add_at) new (to + j++) Entry(std::move(*add));
      if (i == old_nd) break;
      if (i != skip_entry) new (to + j++) Entry(std::move(from[i]));
      from[i].~Entry();
    }
    TrieNode** fc = reinterpret_cast<TrieNode**>(from + old_nd);
    TrieNode** tc = m->children();
    for (std::uint32_t i = 0, j = 0; i <= old_nc; ++i) {
      if (child && j == child_at) tc[j++] = child;
      if (i == old_nc) break;
      if (i != skip_child) tc[j++] = fc[i];
    }
    free_shell(n);
    return m;
  }
};

}  // namespace detail

// The hasher of the store's maps: SipHash-1-3 under a key of the map's own, drawn when the
// map gets its first entry (a map never filled costs no draw).
struct KeyedSipHash {
  base::SipKey key;  // zero until drawn

  void ensure_keyed() {
    if (key == base::SipKey{}) key = base::fresh_map_key();
  }
  std::uint64_t operator()(std::string_view s) const noexcept { return base::siphash13(key, s); }
};

// Hasher: a copyable object held by each map, with ensure_keyed() (called before the first
// entry goes in) and a noexcept operator()(std::string_view) -> std::uint64_t.
template <class V, class Hasher = KeyedSipHash>
class HashTrie {
 public:
  using value_type = std::pair<std::string, V>;
  using size_type = std::size_t;

 private:
  using Node = detail::TrieNode<value_type>;
  static constexpr std::uint32_t npos = Node::npos;

 public:
  // Depth-first walk; entries of a node before those of its children. Forward, read-only.
  class iterator {
   public:
    using value_type = HashTrie::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = const value_type&;
    using pointer = const value_type*;
    using iterator_category = std::forward_iterator_tag;

    iterator() noexcept = default;
    reference operator*() const noexcept { return *cur_; }
    pointer operator->() const noexcept { return cur_; }
    iterator& operator++() noexcept {
      if (++cur_ == end_) next_node();
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept {
      return a.cur_ == b.cur_;
    }

   private:
    friend class HashTrie;
    explicit iterator(const Node* root) noexcept {
      if (!root) return;
      stack_[0] = {root, 0};
      depth_ = 1;
      enter(root);
      if (cur_ == end_) next_node();
    }
    void enter(const Node* n) noexcept {
      cur_ = n->entries();
      end_ = cur_ + n->data_count();
    }
    // Moves to the first entry of the next node holding any, or to the end.
    void next_node() noexcept {
      while (depth_ > 0) {
        Frame& top = stack_[depth_ - 1];
        if (top.child < top.node->child_count()) {
          const Node* c = top.node->children()[top.child++];
          stack_[depth_++] = {c, 0};
          enter(c);
          if (cur_ != end_) return;
        } else {
          --depth_;
        }
      }
      cur_ = end_ = nullptr;
    }
    struct Frame {
      const Node* node;
      std::uint32_t child;
    };
    Frame stack_[detail::kTrieMaxDepth];
    unsigned depth_ = 0;
    const value_type* cur_ = nullptr;
    const value_type* end_ = nullptr;
  };
  using const_iterator = iterator;

  HashTrie() noexcept = default;
  HashTrie(const HashTrie& o) noexcept : root_(o.root_), size_(o.size_), hasher_(o.hasher_) {
    if (root_) Node::retain(root_);
  }
  // The moved-from map is empty and keeps its hasher.
  HashTrie(HashTrie&& o) noexcept
      : root_(std::exchange(o.root_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        hasher_(o.hasher_) {}
  HashTrie& operator=(const HashTrie& o) noexcept {
    HashTrie(o).swap(*this);
    return *this;
  }
  HashTrie& operator=(HashTrie&& o) noexcept {
    if (this != &o) {
      Node::release(root_);
      root_ = std::exchange(o.root_, nullptr);
      size_ = std::exchange(o.size_, 0);
      hasher_ = o.hasher_;
    }
    return *this;
  }
  ~HashTrie() { Node::release(root_); }

  void swap(HashTrie& o) noexcept {
    std::swap(root_, o.root_);
    std::swap(size_, o.size_);
    std::swap(hasher_, o.hasher_);
  }
  friend void swap(HashTrie& a, HashTrie& b) noexcept { a.swap(b); }

  // --- Reads: O(1) expected, noexcept, no allocation. ---

  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Same value for two maps exactly when they are one trie (or both empty).
  const void* identity() const noexcept { return root_; }
  iterator begin() const noexcept { return iterator(root_); }
  iterator end() const noexcept { return iterator(); }

  const V* find(std::string_view k) const noexcept {
    return root_ ? find_hashed(k, hash(k)) : nullptr;
  }
  size_type count(std::string_view k) const noexcept { return find(k) ? 1 : 0; }

  // --- Changes in place: copy shared nodes on the path, mutate the rest. noexcept. ---

  // Calls fn(value) on the value of `k`, inserting a default V first if absent; returns
  // what fn returns.
  template <class K, class F>
  decltype(auto) modify(K&& k, F&& fn) noexcept {
    const std::string_view kv(k);
    if (!root_) {
      hasher_.ensure_keyed();
      const std::uint64_t h = hash(kv);
      Node* n = Node::allocate(1, 0, false);
      n->datamap = detail::trie_bit(h, 0);
      new (n->entries()) value_type(std::string(std::forward<K>(k)), V{});
      root_ = n;
      size_ = 1;
      return fn(n->entries()[0].second);
    }
    return modify_hashed(std::forward<K>(k), hash(kv), std::forward<F>(fn));
  }

  // Calls fn(value) on the value of `k` if present (fn's result is dropped); true if it was.
  template <class F>
  bool modify_existing(std::string_view k, F&& fn) noexcept {
    if (!root_) return false;
    const std::uint64_t h = hash(k);
    if (!find_hashed(k, h)) return false;
    modify_hashed(k, h, std::forward<F>(fn));
    return true;
  }

  // Removes `k`; true if it was present.
  bool erase_in_place(std::string_view k) noexcept {
    if (!root_) return false;
    const std::uint64_t h = hash(k);
    if (!find_hashed(k, h)) return false;
    erase_rec(root_, 0, h, k);
    if (--size_ == 0) {
      Node::release(root_);
      root_ = nullptr;
    }
    return true;
  }

  // Empties the map; the hasher stays.
  void clear() noexcept {
    Node::release(std::exchange(root_, nullptr));
    size_ = 0;
  }

  // --- Persistent forms: on an lvalue they return a changed copy, on an rvalue they
  // change it in place and return it. fn maps the old value (default V if absent) to
  // the new. ---

  template <class K>
  HashTrie set(K&& k, V v) const& noexcept {
    return HashTrie(*this).set(std::forward<K>(k), std::move(v));
  }
  template <class K>
  HashTrie set(K&& k, V v) && noexcept {
    modify(std::forward<K>(k), [&](V& slot) { slot = std::move(v); });
    return std::move(*this);
  }
  HashTrie insert(value_type kv) const& noexcept { return HashTrie(*this).insert(std::move(kv)); }
  HashTrie insert(value_type kv) && noexcept {
    return std::move(*this).set(std::move(kv.first), std::move(kv.second));
  }
  template <class K, class F>
  HashTrie update(K&& k, F&& fn) const& noexcept {
    return HashTrie(*this).update(std::forward<K>(k), std::forward<F>(fn));
  }
  template <class K, class F>
  HashTrie update(K&& k, F&& fn) && noexcept {
    modify(std::forward<K>(k), [&](V& slot) { slot = fn(std::move(slot)); });
    return std::move(*this);
  }
  template <class K, class F>
  HashTrie update_if_exists(K&& k, F&& fn) const& noexcept {
    return HashTrie(*this).update_if_exists(std::forward<K>(k), std::forward<F>(fn));
  }
  template <class K, class F>
  HashTrie update_if_exists(K&& k, F&& fn) && noexcept {
    modify_existing(std::string_view(k), [&](V& slot) { slot = fn(std::move(slot)); });
    return std::move(*this);
  }
  HashTrie erase(std::string_view k) const& noexcept { return HashTrie(*this).erase(k); }
  HashTrie erase(std::string_view k) && noexcept {
    erase_in_place(k);
    return std::move(*this);
  }

 private:
  std::uint64_t hash(std::string_view k) const noexcept { return hasher_(k); }

  const V* find_hashed(std::string_view k, std::uint64_t h) const noexcept {
    const Node* n = root_;
    for (unsigned shift = 0;; shift += detail::kTrieBits) {
      if (shift >= detail::kHashBits) {
        const value_type* e = n->entries();
        for (std::uint32_t i = 0; i < n->datamap; ++i)
          if (base::same_bytes(e[i].first, k)) return &e[i].second;
        return nullptr;
      }
      const std::uint32_t bit = detail::trie_bit(h, shift);
      if (n->datamap & bit) {
        const value_type& e = n->entries()[detail::trie_index(n->datamap, bit)];
        return base::same_bytes(e.first, k) ? &e.second : nullptr;
      }
      if (!(n->nodemap & bit)) return nullptr;
      n = n->children()[detail::trie_index(n->nodemap, bit)];
    }
  }

  // The node in `slot`, first replaced by a private copy if another map shares it. The
  // caller owns the path to `slot`, so a count of 1 means nobody else can reach the node.
  static Node* own(Node*& slot) noexcept {
    Node* n = slot;
    if (n->refs.load(std::memory_order_acquire) == 1) return n;
    Node* c = Node::clone(n);
    Node::release(n);
    slot = c;
    return c;
  }

  // A subtrie holding `a` and `b` (distinct keys) from level `shift` down; `b_value`
  // points at b's value in it afterwards.
  static Node* merge(unsigned shift, value_type&& a, std::uint64_t ha, value_type&& b,
                     std::uint64_t hb, V*& b_value) noexcept {
    if (shift >= detail::kHashBits) {
      Node* n = Node::allocate(2, 0, true);
      n->datamap = 2;
      new (n->entries()) value_type(std::move(a));
      new (n->entries() + 1) value_type(std::move(b));
      b_value = &n->entries()[1].second;
      return n;
    }
    const std::uint32_t ba = detail::trie_bit(ha, shift), bb = detail::trie_bit(hb, shift);
    if (ba != bb) {
      Node* n = Node::allocate(2, 0, false);
      n->datamap = ba | bb;
      const bool a_first = ba < bb;
      new (n->entries() + (a_first ? 0 : 1)) value_type(std::move(a));
      new (n->entries() + (a_first ? 1 : 0)) value_type(std::move(b));
      b_value = &n->entries()[a_first ? 1 : 0].second;
      return n;
    }
    Node* n = Node::allocate(0, 1, false);
    n->nodemap = ba;
    n->children()[0] =
        merge(shift + detail::kTrieBits, std::move(a), ha, std::move(b), hb, b_value);
    return n;
  }

  template <class K, class F>
  decltype(auto) modify_hashed(K&& k, std::uint64_t h, F&& fn) noexcept {
    const std::string_view kv(k);
    Node** slot = &root_;
    for (unsigned shift = 0;; shift += detail::kTrieBits) {
      Node* n = own(*slot);
      if (shift >= detail::kHashBits) {
        value_type* e = n->entries();
        for (std::uint32_t i = 0; i < n->datamap; ++i)
          if (base::same_bytes(e[i].first, kv)) return fn(e[i].second);
        value_type fresh(std::string(std::forward<K>(k)), V{});
        const std::uint32_t at = n->datamap;
        n = *slot = Node::rebuild(n, at + 1, 0, npos, &fresh, at, npos, nullptr, 0);
        ++size_;
        return fn(n->entries()[at].second);
      }
      const std::uint32_t bit = detail::trie_bit(h, shift);
      if (n->nodemap & bit) {
        slot = &n->children()[detail::trie_index(n->nodemap, bit)];
        continue;
      }
      if (n->datamap & bit) {
        const std::uint32_t at = detail::trie_index(n->datamap, bit);
        value_type& e = n->entries()[at];
        if (base::same_bytes(e.first, kv)) return fn(e.second);
        // Another key holds this slot: both move one level down.
        const std::uint64_t h_old = hash(e.first);
        V* value = nullptr;
        Node* sub = merge(shift + detail::kTrieBits, std::move(e), h_old,
                          value_type(std::string(std::forward<K>(k)), V{}), h, value);
        *slot = Node::rebuild(n, n->datamap & ~bit, n->nodemap | bit, at, nullptr, 0, npos, sub,
                              detail::trie_index(n->nodemap, bit));
        ++size_;
        return fn(*value);
      }
      value_type fresh(std::string(std::forward<K>(k)), V{});
      const std::uint32_t at = detail::trie_index(n->datamap, bit);
      n = *slot =
          Node::rebuild(n, n->datamap | bit, n->nodemap, npos, &fresh, at, npos, nullptr, 0);
      ++size_;
      return fn(n->entries()[at].second);
    }
  }

  // Removes `k`, known to be present, below `slot`. A child left with one entry and no
  // children is folded into its parent, so every node but the root holds two or more.
  void erase_rec(Node*& slot, unsigned shift, std::uint64_t h, std::string_view k) noexcept {
    Node* n = own(slot);
    if (shift >= detail::kHashBits) {
      std::uint32_t at = 0;
      while (!base::same_bytes(n->entries()[at].first, k)) ++at;
      slot = Node::rebuild(n, n->datamap - 1, 0, at, nullptr, 0, npos, nullptr, 0);
      return;
    }
    const std::uint32_t bit = detail::trie_bit(h, shift);
    if (n->datamap & bit) {
      slot = Node::rebuild(n, n->datamap & ~bit, n->nodemap, detail::trie_index(n->datamap, bit),
                           nullptr, 0, npos, nullptr, 0);
      return;
    }
    const std::uint32_t ci = detail::trie_index(n->nodemap, bit);
    Node*& child_slot = n->children()[ci];
    erase_rec(child_slot, shift + detail::kTrieBits, h, k);
    Node* c = child_slot;
    if (c->nodemap == 0 && c->data_count() == 1) {
      value_type last(std::move(c->entries()[0]));
      c->entries()[0].~value_type();
      Node::free_shell(c);
      slot = Node::rebuild(n, n->datamap | bit, n->nodemap & ~bit, npos, &last,
                           detail::trie_index(n->datamap, bit), ci, nullptr, 0);
    }
  }

  Node* root_ = nullptr;
  size_type size_ = 0;
  Hasher hasher_;
};

}  // namespace store
