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
// Every node also keeps order summaries: its four slots that hold the greatest keys below
// it, ranked by the greatest key each holds, and the four that hold the least (a slot is a
// bit position plus whether it holds an entry or a child, so rebuilds that shift the
// arrays leave it valid). Following the first ones down gives a map's greatest or least
// key in O(depth), and the ranks let an ordered walk take the next keys of a node without
// looking at its other slots (ordered_walk below). A key is added or removed along one
// path, so only the nodes of that path may change their summaries, and the walk up stops at
// the first node whose extremes stay; a new value for an existing key changes none.
//
// Changes are noexcept: running out of memory halfway would leave a map half changed, so it
// ends the process. Reads never allocate.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// A slot of a node in an order summary: the bit position, and kChildSlot when a child sits
// there rather than an entry.
inline constexpr std::uint8_t kChildSlot = 0x20;
inline constexpr std::uint8_t kNoSlot = 0xff;
// Slots ranked per direction: enough that a node seldom has to be looked at whole when a
// walk takes the next few keys (the root, which holds most of them, always is), and what
// fits the header's spare bytes. Max ? kFirstMax : kFirstMin picks a direction's ranks.
inline constexpr unsigned kRanks = 4;
inline constexpr unsigned kFirstMax = 0, kFirstMin = kRanks;

// Bytes p[0..n) (n <= 8) in the low bytes of a little-endian word, the rest zero, by at
// most two fixed-size loads that stay within p[0..n).
inline std::uint64_t low_bytes(const char* p, std::size_t n) noexcept {
  std::uint64_t v = 0;
  if (n == 8) {
    std::memcpy(&v, p, 8);
  } else if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    v = lo | std::uint64_t{hi} << (8 * (n - 4));
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    v = byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
  }
  return v;
}

// a < b bytewise (unsigned bytes, a proper prefix first), eight bytes at a time: the trie's
// order checks compare keys that often share a long prefix (ids, zero-padded numbers), and
// the library compare costs a call and a length dispatch each.
inline bool key_less(std::string_view a, std::string_view b) noexcept {
  static_assert(std::endian::native == std::endian::little, "words are read little-endian");
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
  }
  if (i < n) {
    const std::uint64_t x = low_bytes(a.data() + i, n - i), y = low_bytes(b.data() + i, n - i);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
  }
  return a.size() < b.size();
}

// The first of the kRanks bytes at `r` equal to `s`, or kRanks: one word, no loop.
inline unsigned rank_of(const std::uint8_t* r, std::uint8_t s) noexcept {
  static_assert(kRanks == 4, "one 32-bit word of ranks");
  std::uint32_t w;
  std::memcpy(&w, r, 4);
  w ^= 0x01010101u * s;  // bytes equal to s are now zero
  const std::uint32_t zero = (w - 0x01010101u) & ~w & 0x80808080u;
  return zero ? static_cast<unsigned>(std::countr_zero(zero)) / 8 : kRanks;
}

inline std::uint8_t trie_slot(std::uint32_t bit, bool child) noexcept {
  return static_cast<std::uint8_t>(std::countr_zero(bit) | (child ? kChildSlot : 0));
}
inline std::uint32_t slot_bit(std::uint8_t slot) noexcept {
  return std::uint32_t{1} << (slot & 31);
}

// One trie node in one heap block: this header, the entries, then the child pointers.
// Below the last hash level a node is a collision node: `datamap` counts its entries, and
// it keeps no summaries (its few entries are compared when asked).
template <class Entry>
struct TrieNode {
  std::atomic<std::uint32_t> refs{1};
  std::uint32_t datamap = 0;
  std::uint32_t nodemap = 0;
  std::uint8_t collision = 0;
  std::uint8_t order[2 * kRanks] = {kNoSlot, kNoSlot, kNoSlot, kNoSlot,
                                    kNoSlot, kNoSlot, kNoSlot, kNoSlot};

  // The fields above: three words, the flag and the summaries.
  static constexpr std::size_t kHeader =
      (13 + 2 * kRanks + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);

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
  std::uint32_t slot_count() const noexcept { return base::popcount32(datamap | nodemap); }
  const Entry& entry_at(std::uint8_t slot) const noexcept {
    return entries()[trie_index(datamap, slot_bit(slot))];
  }
  const TrieNode* child_at(std::uint8_t slot) const noexcept {
    return children()[trie_index(nodemap, slot_bit(slot))];
  }
  // Points every summary naming slot `from` at `to` (an entry that moved into a child, or
  // a child folded into an entry, at the same bit).
  void retarget(std::uint8_t from, std::uint8_t to) noexcept {
    for (std::uint8_t& s : order)
      if (s == from) s = to;
  }

  // A node shell with room for `nd` entries and `nc` children, none constructed yet.
  static TrieNode* allocate(std::uint32_t nd, std::uint32_t nc, bool is_collision) noexcept {
    static_assert(sizeof(TrieNode) <= kHeader);
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
    std::copy(std::begin(n->order), std::end(n->order), m->order);
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
  // Consumes `n`'s shell; children move without count changes. The summaries are kept as
  // they were: the caller fixes those that named a slot it dropped or turned.
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
    std::copy(std::begin(n->order), std::end(n->order), m->order);
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
  friend bool operator==(const KeyedSipHash&, const KeyedSipHash&) = default;
};

// Which keys an ordered walk returns: lo <= key < hi, each bound only when given; keys
// compare bytewise (unsigned bytes, a proper prefix first).
struct KeyBounds {
  std::optional<std::string_view> lo;
  std::optional<std::string_view> hi;
};

// Hasher: a copyable, equality-comparable object held by each map, with ensure_keyed()
// (called before the first entry goes in) and a noexcept operator()(std::string_view) ->
// std::uint64_t. Equal hashers hash every key alike, so their maps place it alike.
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
  // Whether both maps place every key alike (a copy of one another, or made from one).
  bool same_hashing(const HashTrie& o) const noexcept { return hasher_ == o.hasher_; }
  iterator begin() const noexcept { return iterator(root_); }
  iterator end() const noexcept { return iterator(); }

  const V* find(std::string_view k) const noexcept {
    return root_ ? find_below(root_, 0, k, hash(k)) : nullptr;
  }
  size_type count(std::string_view k) const noexcept { return find(k) ? 1 : 0; }

  // The greatest (least) key in bytewise order, or nullptr when empty. O(depth) along the
  // summaries, noexcept.
  const std::string* max_key() const noexcept {
    return root_ ? &extreme<true>(root_).first : nullptr;
  }
  const std::string* min_key() const noexcept {
    return root_ ? &extreme<false>(root_).first : nullptr;
  }

  // Appends to `out`, as views into this map, the first `limit` keys within `bounds` that
  // pass `keep`, in ascending key order (descending when `descending`). A best-first walk
  // along the order summaries: with the bound of the starting end open it costs
  // O(limit x depth) whatever the size; every key it must pass over (outside the bound it
  // starts from, or refused by `keep`) adds to that. Gives up after `budget` steps,
  // returning false with `out` as it was, so that a caller whose range skips much of the
  // map can walk it instead. Allocates its work list and `out`; throws std::bad_alloc.
  template <class Keep>
  bool ordered_walk(bool descending, std::size_t limit, const KeyBounds& bounds, Keep&& keep,
                    std::size_t budget, std::vector<std::string_view>& out) const {
    const std::size_t had = out.size();
    const bool done = descending
                          ? OrderedWalk<true, Keep>(bounds, keep, limit, budget, out).run(root_)
                          : OrderedWalk<false, Keep>(bounds, keep, limit, budget, out).run(root_);
    if (!done) out.resize(had);
    return done;
  }

  // Calls only(entry) for every entry of this map whose key `other` lacks, and
  // both(entry, other_value) for every key both hold, in this map's iteration order; a
  // subtree the two maps share (one node) is skipped, since it holds the same entries on
  // both sides. Requires same_hashing(other) unless either map is empty. Costs O(entries
  // of the nodes that differ), which after c changes is O(c x depth x 32), not O(size).
  template <class Only, class Both>
  void diff_walk(const HashTrie& other, Only&& only, Both&& both) const {
    if (!root_ || root_ == other.root_) return;
    if (!other.root_) {
      for (const value_type& e : *this) only(e);
      return;
    }
    diff_nodes(root_, other.root_, 0, only, both);
  }

  // For tests: whether every node's summaries match a recomputation from its slots.
  bool orders_consistent() const noexcept { return !root_ || orders_consistent(root_); }

  // --- Changes in place: copy shared nodes on the path, mutate the rest. noexcept. ---

  // Calls fn(value) on the value of `k`, inserting a default V first if absent; returns
  // what fn returns.
  template <class K, class F>
  decltype(auto) modify(K&& k, F&& fn) noexcept {
    const std::string_view kv(k);
    if (!root_) {
      hasher_.ensure_keyed();
      const std::uint64_t h = hash(kv);
      const std::uint32_t bit = detail::trie_bit(h, 0);
      Node* n = Node::allocate(1, 0, false);
      n->datamap = bit;
      n->order[detail::kFirstMax] = n->order[detail::kFirstMin] = detail::trie_slot(bit, false);
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
    if (!find_below(root_, 0, k, h)) return false;
    modify_hashed(k, h, std::forward<F>(fn));
    return true;
  }

  // Removes `k`; true if it was present.
  bool erase_in_place(std::string_view k) noexcept {
    if (!root_) return false;
    const std::uint64_t h = hash(k);
    if (!find_below(root_, 0, k, h)) return false;
    if (--size_ == 0) {
      Node::release(root_);
      root_ = nullptr;
      return true;
    }
    erase_rec(root_, 0, h, k);
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

  // `k` (hash `h`) in the subtree of `n`, whose level starts at `shift`.
  static const V* find_below(const Node* n, unsigned shift, std::string_view k,
                             std::uint64_t h) noexcept {
    for (;; shift += detail::kTrieBits) {
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

  // --- Order summaries ---

  // `a` comes before `b` in the direction: greater first for Max, smaller first otherwise.
  template <bool Max>
  static bool before(std::string_view a, std::string_view b) noexcept {
    return Max ? detail::key_less(b, a) : detail::key_less(a, b);
  }

  // The entry holding the greatest (Max) or least key below `n`.
  template <bool Max>
  static const value_type& extreme(const Node* n) noexcept {
    for (;;) {
      if (n->collision) {
        const value_type* e = n->entries();
        const value_type* best = e;
        for (std::uint32_t i = 1; i < n->datamap; ++i)
          if (before<Max>(e[i].first, best->first)) best = e + i;
        return *best;
      }
      const std::uint8_t s = n->order[Max ? detail::kFirstMax : detail::kFirstMin];
      if (!(s & detail::kChildSlot)) return n->entry_at(s);
      n = n->child_at(s);
    }
  }

  // The extreme entry of slot `s` of `n`: the entry there, or its child's extreme.
  template <bool Max>
  static const value_type& slot_extreme(const Node* n, std::uint8_t s) noexcept {
    return (s & detail::kChildSlot) ? extreme<Max>(n->child_at(s)) : n->entry_at(s);
  }

  // The kRanks best slots of `n` in the direction, best first, from all its slots; kNoSlot
  // where it has fewer.
  template <bool Max>
  static void best_ranks(const Node* n, std::uint8_t (&out)[detail::kRanks]) noexcept {
    const value_type* bound[detail::kRanks] = {};
    std::fill(std::begin(out), std::end(out), detail::kNoSlot);
    for (std::uint32_t bits = n->datamap | n->nodemap; bits != 0; bits &= bits - 1) {
      const std::uint32_t bit = bits & (~bits + 1);
      const std::uint8_t s = detail::trie_slot(bit, (n->nodemap & bit) != 0);
      const value_type& e = slot_extreme<Max>(n, s);
      unsigned j = detail::kRanks;
      while (j > 0 && (!bound[j - 1] || before<Max>(e.first, bound[j - 1]->first))) --j;
      if (j == detail::kRanks) continue;
      for (unsigned i = detail::kRanks - 1; i > j; --i)
        out[i] = out[i - 1], bound[i] = bound[i - 1];
      out[j] = s, bound[j] = &e;
    }
  }

  template <bool Max>
  static void recompute(Node* n) noexcept {
    std::uint8_t ranks[detail::kRanks];
    best_ranks<Max>(n, ranks);
    std::copy(std::begin(ranks), std::end(ranks),
              n->order + (Max ? detail::kFirstMax : detail::kFirstMin));
  }

  // Slot `s` of `n` now also holds the new key `k` (new there, or deeper down): the slot can
  // only move up the ranks of one direction, and only when `k` leads it (`k_leads` says so
  // where the caller knows). Returns whether `k` now leads `n`, which is when `n`'s parent
  // must look too. A new key most often ranks nowhere (one comparison, with the last rank)
  // or, for ids that only grow, first (one more, with the first rank).
  template <bool Max>
  static bool raise(Node* n, std::uint8_t s, const std::string& k, bool k_leads) noexcept {
    std::uint8_t* r = n->order + (Max ? detail::kFirstMax : detail::kFirstMin);
    const unsigned pos = detail::rank_of(r, s);
    if (pos == 0) return k_leads || &slot_extreme<Max>(n, s).first == &k;
    const unsigned filled = detail::rank_of(r, detail::kNoSlot);  // ranks fill from the first
    const auto ahead_of = [&](unsigned i) {
      return before<Max>(k, slot_extreme<Max>(n, r[i]).first);
    };
    unsigned j = pos < detail::kRanks ? pos : filled;
    if (j > 0 && ahead_of(j - 1)) {  // then first, as ids that only grow are
      if (j == 1 || ahead_of(0)) {
        j = 0;
      } else {
        --j;
        while (j > 1 && ahead_of(j - 1)) --j;
      }
    }
    if (j >= detail::kRanks) return false;  // still behind every ranked slot
    move_to(r, pos, j, s);
    return j == 0;
  }

  // Puts slot `s` (ranked at `pos`, or unranked when pos == kRanks) at rank `j` <= pos: the
  // ranks between move down one, and an unranked slot pushes the last one out.
  static void move_to(std::uint8_t* r, unsigned pos, unsigned j, std::uint8_t s) noexcept {
    const unsigned from = pos < detail::kRanks ? pos : detail::kRanks - 1;
    for (unsigned i = detail::kRanks - 1; i > 0; --i)  // a fixed count: unrolled
      if (i > j && i <= from) r[i] = r[i - 1];
    r[j] = s;
  }

  // After `k` (hash `h`) went in at or below the node at level `bottom_shift`, whose own
  // summaries already account for the slots it changed: updates the path up to the root,
  // stopping at the first node that `k` does not lead. `k_leads` tells whether `k` leads
  // its slot in the bottom node (true when that slot holds it alone). A key that leads its
  // node and is also ahead of the map's extreme (ids that only grow) leads every node on
  // its path: one comparison settles the levels above.
  void raise_path(std::uint64_t h, unsigned bottom_shift, const std::string& k,
                  bool k_leads) noexcept {
    Node* path[detail::kTrieMaxDepth];
    unsigned depth = 0;
    Node* n = root_;
    for (unsigned shift = 0;; shift += detail::kTrieBits) {
      path[depth++] = n;
      if (shift == bottom_shift) break;
      n = n->children()[detail::trie_index(n->nodemap, detail::trie_bit(h, shift))];
    }
    raise_dir<true>(path, depth, h, k, k_leads);
    raise_dir<false>(path, depth, h, k, k_leads);
  }

  template <bool Max>
  void raise_dir(Node* const* path, unsigned depth, std::uint64_t h, const std::string& k,
                 bool k_leads) noexcept {
    constexpr unsigned at = Max ? detail::kFirstMax : detail::kFirstMin;
    const auto slot_at = [&](unsigned level) {
      const std::uint32_t bit = detail::trie_bit(h, level * detail::kTrieBits);
      return detail::trie_slot(bit, (path[level]->nodemap & bit) != 0);
    };
    unsigned level = depth - 1;
    if (!raise<Max>(path[level], slot_at(level), k, k_leads)) return;
    if (level == 0) return;
    // `k` leads the bottom node. Ahead of the root's extreme (read before the root learns
    // of `k`: its path does not reach this far up yet), it leads every node between.
    if (before<Max>(k, extreme<Max>(path[0]).first)) {
      while (level-- > 0) {
        std::uint8_t* r = path[level]->order + at;
        const std::uint8_t s = slot_at(level);
        move_to(r, detail::rank_of(r, s), 0, s);
      }
      return;
    }
    while (level-- > 0)
      if (!raise<Max>(path[level], slot_at(level), k, true)) return;
  }

  // For erase: which extremes of a subtree the removed key was.
  static constexpr unsigned kWasMax = 1, kWasMin = 2;

  // Slot `s` of `n` lost the key that was the subtree extremes `was` says (or the slot is
  // gone): the ranks of that direction are redone when they name it.
  static void lowered(Node* n, std::uint8_t s, unsigned was) noexcept {
    if (n->slot_count() == 0) return;
    const auto ranked = [&](unsigned at) {
      const std::uint8_t* r = n->order + at;
      return std::find(r, r + detail::kRanks, s) != r + detail::kRanks;
    };
    if ((was & kWasMax) && ranked(detail::kFirstMax)) recompute<true>(n);
    if ((was & kWasMin) && ranked(detail::kFirstMin)) recompute<false>(n);
  }

  static bool orders_consistent(const Node* n) noexcept {
    if (n->collision) return true;
    std::uint8_t want_max[detail::kRanks], want_min[detail::kRanks];
    best_ranks<true>(n, want_max);
    best_ranks<false>(n, want_min);
    if (!std::equal(want_max, want_max + detail::kRanks, n->order + detail::kFirstMax) ||
        !std::equal(want_min, want_min + detail::kRanks, n->order + detail::kFirstMin))
      return false;
    for (std::uint32_t i = 0; i < n->child_count(); ++i)
      if (!orders_consistent(n->children()[i])) return false;
    return true;
  }

  // --- Ordered walk ---

  // Best-first over a work list ordered by each item's bound (a key at or beyond
  // everything the item holds, in the direction): the top item's bound is the next key
  // when the top is an entry. A node is opened along its first-ranked slots down to an
  // entry, leaving behind for each node passed a Tail item: the node from its next ranked
  // slot on, bounded by that slot's key. A Tail opens that slot and leaves the Tail of the
  // rank after; past the last rank it leaves a Rest item (every unranked slot, bounded by
  // the last ranked key but coming after it), the only step that looks at a node whole.
  template <bool Max, class Keep>
  class OrderedWalk {
   public:
    OrderedWalk(const KeyBounds& b, Keep& keep, std::size_t limit, std::size_t budget,
                std::vector<std::string_view>& out)
        : bounds_(b), keep_(keep), limit_(out.size() + limit), budget_(budget), out_(out) {
      list_.reserve(64);
    }

    // False when the budget ran out before the walk was done.
    bool run(const Node* root) {
      if (!root || out_.size() >= limit_) return true;
      bool go_on = open(root, extreme<Max>(root).first);
      while (go_on && !exhausted_ && !list_.empty()) {
        if (!spend()) break;
        std::pop_heap(list_.begin(), list_.end(), After{});
        const Item item = list_.back();
        list_.pop_back();
        switch (item.kind) {
          case Kind::Entry:
            go_on = take(*item.bound);
            break;
          case Kind::Node:
            go_on = open(item.node, *item.bound);
            break;
          case Kind::Tail: {
            const Node* n = item.node;
            const std::uint8_t* r = n->order + kAt;
            const unsigned rank = item.rank;
            if (rank + 1 < detail::kRanks && r[rank + 1] != detail::kNoSlot)
              push(Kind::Tail, n, &slot_extreme<Max>(n, r[rank + 1]).first, rank + 1);
            else if (rank + 1 == detail::kRanks && n->slot_count() > detail::kRanks)
              push(Kind::Rest, n, item.bound);
            go_on = (r[rank] & detail::kChildSlot) ? open(n->child_at(r[rank]), *item.bound)
                                                   : take(*item.bound);
            break;
          }
          case Kind::Rest:
            spread(item.node);
            break;
        }
      }
      return !exhausted_;
    }

   private:
    static constexpr unsigned kAt = Max ? detail::kFirstMax : detail::kFirstMin;
    enum class Kind : std::uint8_t { Entry, Node, Tail, Rest };
    // The bound's first 16 bytes as two big-endian numbers, zero-padded: keys that share a
    // long prefix (ids, zero-padded numbers) are told apart without a call to memcmp, and
    // only equal heads fall back to comparing the strings.
    struct Item {
      std::uint64_t head[2];
      const std::string* bound;
      const Node* node;
      Kind kind;
      std::uint8_t rank;  // of a Tail: the ranked slot it starts from
    };
    // Heap order: an item after another comes out later. A Rest item shares its bound with
    // the Tail that made it and must follow what that Tail opened.
    struct After {
      bool operator()(const Item& a, const Item& b) const noexcept {
        if (a.bound == b.bound) return a.kind == Kind::Rest && b.kind != Kind::Rest;
        if (a.head[0] != b.head[0]) return Max ? a.head[0] < b.head[0] : b.head[0] < a.head[0];
        if (a.head[1] != b.head[1]) return Max ? a.head[1] < b.head[1] : b.head[1] < a.head[1];
        return before<Max>(*b.bound, *a.bound);
      }
    };
    static void load_head(const std::string& s, std::uint64_t (&head)[2]) noexcept {
      static_assert(std::endian::native == std::endian::little, "heads are read little-endian");
      head[0] = detail::low_bytes(s.data(), s.size() < 8 ? s.size() : 8);
      head[1] =
          s.size() > 8 ? detail::low_bytes(s.data() + 8, s.size() < 16 ? s.size() - 8 : 8) : 0;
      head[0] = __builtin_bswap64(head[0]);
      head[1] = __builtin_bswap64(head[1]);
    }

    // Past the end the walk heads for: nothing at or after `k` can be in range.
    bool past_end(std::string_view k) const noexcept {
      return Max ? (bounds_.lo && k < *bounds_.lo) : (bounds_.hi && !(k < *bounds_.hi));
    }
    // Not yet in range on the side the walk starts from.
    bool before_start(std::string_view k) const noexcept {
      return Max ? (bounds_.hi && !(k < *bounds_.hi)) : (bounds_.lo && k < *bounds_.lo);
    }

    bool spend() noexcept {
      if (budget_ == 0) exhausted_ = true;
      if (exhausted_) return false;
      --budget_;
      return true;
    }

    void push(Kind kind, const Node* node, const std::string* bound, unsigned rank = 0) {
      Item item{{0, 0}, bound, node, kind, static_cast<std::uint8_t>(rank)};
      load_head(*bound, item.head);
      list_.push_back(item);
      std::push_heap(list_.begin(), list_.end(), After{});
    }

    // `k` is the next key in order; false when the walk is over.
    bool take(const std::string& k) {
      if (past_end(k)) return false;
      if (!before_start(k) && keep_(std::string_view(k))) out_.push_back(k);
      return out_.size() < limit_;
    }

    // `n`, whose extreme `top` is the next key in order: down its first-ranked slots to
    // that entry, leaving a Tail for every node passed that has a second ranked slot.
    bool open(const Node* n, const std::string& top) {
      if (past_end(top)) return false;
      const bool skipping = before_start(top);
      for (;;) {
        if (!spend()) return true;                                          // run() reports it
        if (skipping && before_start(extreme<!Max>(n).first)) return true;  // all before the range
        if (n->collision) {
          const value_type* e = n->entries();
          for (std::uint32_t i = 0; i < n->datamap; ++i) push(Kind::Entry, nullptr, &e[i].first);
          return true;
        }
        const std::uint8_t* r = n->order + kAt;
        if (r[1] != detail::kNoSlot) push(Kind::Tail, n, &slot_extreme<Max>(n, r[1]).first, 1);
        if (!(r[0] & detail::kChildSlot)) return take(top);
        n = n->child_at(r[0]);
      }
    }

    // Every unranked slot of `n`, each as an entry or a node item.
    void spread(const Node* n) {
      const std::uint8_t* r = n->order + kAt;
      std::uint32_t ranked = 0;  // a node has more slots than ranks here: all are filled
      for (unsigned i = 0; i < detail::kRanks; ++i) ranked |= detail::slot_bit(r[i]);
      for (std::uint32_t bits = (n->datamap | n->nodemap) & ~ranked; bits != 0; bits &= bits - 1) {
        const std::uint32_t bit = bits & (~bits + 1);
        const std::uint8_t s = detail::trie_slot(bit, (n->nodemap & bit) != 0);
        if (!spend()) return;
        const std::string& bound = slot_extreme<Max>(n, s).first;
        if (past_end(bound)) continue;
        if (s & detail::kChildSlot)
          push(Kind::Node, n->child_at(s), &bound);
        else if (!before_start(bound))
          push(Kind::Entry, nullptr, &bound);
      }
    }

    const KeyBounds& bounds_;
    Keep& keep_;
    std::size_t limit_;  // the size of `out_` at which the walk is done
    std::size_t budget_;
    std::vector<std::string_view>& out_;
    std::vector<Item> list_;
    bool exhausted_ = false;
  };

  // --- Diff walk ---

  // Every entry of the subtree of `n`, in iteration order.
  template <class F>
  static void for_each_below(const Node* n, F& f) {
    const value_type* e = n->entries();
    for (std::uint32_t i = 0, nd = n->data_count(); i < nd; ++i) f(e[i]);
    for (std::uint32_t i = 0, nc = n->child_count(); i < nc; ++i)
      for_each_below(n->children()[i], f);
  }

  // `a` and `b` hold the keys below one hash prefix (level `shift`) in this map and in the
  // other; walks `a` in iteration order, pairing its keys with `b`'s.
  template <class Only, class Both>
  void diff_nodes(const Node* a, const Node* b, unsigned shift, Only& only, Both& both) const {
    if (a == b) return;
    if (shift >= detail::kHashBits) {  // collision nodes on both sides
      const value_type* e = a->entries();
      for (std::uint32_t i = 0; i < a->datamap; ++i) {
        const V* theirs = find_below(b, shift, e[i].first, 0);
        theirs ? both(e[i], *theirs) : only(e[i]);
      }
      return;
    }
    const value_type* e = a->entries();
    std::uint32_t i = 0;
    for (std::uint32_t bits = a->datamap; bits != 0; bits &= bits - 1, ++i) {
      const std::uint32_t bit = bits & (~bits + 1);
      const V* theirs = nullptr;
      if (b->datamap & bit) {
        const value_type& f = b->entries()[detail::trie_index(b->datamap, bit)];
        if (base::same_bytes(f.first, e[i].first)) theirs = &f.second;
      } else if (b->nodemap & bit) {
        theirs = find_below(b->children()[detail::trie_index(b->nodemap, bit)],
                            shift + detail::kTrieBits, e[i].first, hash(e[i].first));
      }
      theirs ? both(e[i], *theirs) : only(e[i]);
    }
    const Node* const* c = a->children();
    i = 0;
    for (std::uint32_t bits = a->nodemap; bits != 0; bits &= bits - 1, ++i) {
      const std::uint32_t bit = bits & (~bits + 1);
      if (b->nodemap & bit) {
        diff_nodes(c[i], b->children()[detail::trie_index(b->nodemap, bit)],
                   shift + detail::kTrieBits, only, both);
      } else if (b->datamap & bit) {
        const value_type& f = b->entries()[detail::trie_index(b->datamap, bit)];
        auto pair_with = [&](const value_type& x) {
          base::same_bytes(x.first, f.first) ? both(x, f.second) : only(x);
        };
        for_each_below(c[i], pair_with);
      } else {
        for_each_below(c[i], only);
      }
    }
  }

  // --- Changes ---

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

  // A subtrie holding `a` and `b` (distinct keys) from level `shift` down, with its
  // summaries; `b_entry` points at b in it afterwards.
  static Node* merge(unsigned shift, value_type&& a, std::uint64_t ha, value_type&& b,
                     std::uint64_t hb, value_type*& b_entry) noexcept {
    if (shift >= detail::kHashBits) {
      Node* n = Node::allocate(2, 0, true);
      n->datamap = 2;
      new (n->entries()) value_type(std::move(a));
      new (n->entries() + 1) value_type(std::move(b));
      b_entry = n->entries() + 1;
      return n;
    }
    const std::uint32_t ba = detail::trie_bit(ha, shift), bb = detail::trie_bit(hb, shift);
    if (ba != bb) {
      Node* n = Node::allocate(2, 0, false);
      n->datamap = ba | bb;
      const bool a_first = ba < bb;
      const bool a_less = a.first < b.first;
      const std::uint8_t sa = detail::trie_slot(ba, false), sb = detail::trie_slot(bb, false);
      n->order[detail::kFirstMax] = n->order[detail::kFirstMin + 1] = a_less ? sb : sa;
      n->order[detail::kFirstMax + 1] = n->order[detail::kFirstMin] = a_less ? sa : sb;
      new (n->entries() + (a_first ? 0 : 1)) value_type(std::move(a));
      new (n->entries() + (a_first ? 1 : 0)) value_type(std::move(b));
      b_entry = n->entries() + (a_first ? 1 : 0);
      return n;
    }
    Node* n = Node::allocate(0, 1, false);
    n->nodemap = ba;
    n->order[detail::kFirstMax] = n->order[detail::kFirstMin] = detail::trie_slot(ba, true);
    n->children()[0] =
        merge(shift + detail::kTrieBits, std::move(a), ha, std::move(b), hb, b_entry);
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
        value_type& added = n->entries()[at];
        raise_path(h, shift - detail::kTrieBits, added.first, false);
        return fn(added.second);
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
        value_type* added = nullptr;
        Node* sub = merge(shift + detail::kTrieBits, std::move(e), h_old,
                          value_type(std::string(std::forward<K>(k)), V{}), h, added);
        n = *slot = Node::rebuild(n, n->datamap & ~bit, n->nodemap | bit, at, nullptr, 0, npos, sub,
                                  detail::trie_index(n->nodemap, bit));
        n->retarget(detail::trie_slot(bit, false), detail::trie_slot(bit, true));
        ++size_;
        raise_path(h, shift, added->first, false);
        return fn(added->second);
      }
      value_type fresh(std::string(std::forward<K>(k)), V{});
      const std::uint32_t at = detail::trie_index(n->datamap, bit);
      n = *slot =
          Node::rebuild(n, n->datamap | bit, n->nodemap, npos, &fresh, at, npos, nullptr, 0);
      ++size_;
      value_type& added = n->entries()[at];
      raise_path(h, shift, added.first, true);
      return fn(added.second);
    }
  }

  // Removes `k`, known to be present, below `slot`, from a map left non-empty. A child
  // left with one entry and no children is folded into its parent, so every node but the
  // root holds two or more. Returns which extremes of the subtree `k` was (kWasMax,
  // kWasMin), for the parent's summaries.
  unsigned erase_rec(Node*& slot, unsigned shift, std::uint64_t h, std::string_view k) noexcept {
    Node* n = own(slot);
    if (shift >= detail::kHashBits) {
      std::uint32_t at = 0;
      while (!base::same_bytes(n->entries()[at].first, k)) ++at;
      unsigned was = kWasMax | kWasMin;
      for (std::uint32_t i = 0; i < n->datamap; ++i) {
        if (i == at) continue;
        if (k < n->entries()[i].first) was &= ~kWasMax;
        if (n->entries()[i].first < k) was &= ~kWasMin;
      }
      slot = Node::rebuild(n, n->datamap - 1, 0, at, nullptr, 0, npos, nullptr, 0);
      return was;
    }
    const std::uint32_t bit = detail::trie_bit(h, shift);
    if (n->datamap & bit) {
      const std::uint8_t s = detail::trie_slot(bit, false);
      const unsigned was = (n->order[detail::kFirstMax] == s ? kWasMax : 0) |
                           (n->order[detail::kFirstMin] == s ? kWasMin : 0);
      n = slot = Node::rebuild(n, n->datamap & ~bit, n->nodemap,
                               detail::trie_index(n->datamap, bit), nullptr, 0, npos, nullptr, 0);
      lowered(n, s, kWasMax | kWasMin);  // the slot is gone
      return was;
    }
    const std::uint32_t ci = detail::trie_index(n->nodemap, bit);
    Node*& child_slot = n->children()[ci];
    const unsigned below = erase_rec(child_slot, shift + detail::kTrieBits, h, k);
    std::uint8_t s = detail::trie_slot(bit, true);
    Node* c = child_slot;
    if (c->nodemap == 0 && c->data_count() == 1) {
      value_type last(std::move(c->entries()[0]));
      c->entries()[0].~value_type();
      Node::free_shell(c);
      n = slot = Node::rebuild(n, n->datamap | bit, n->nodemap & ~bit, npos, &last,
                               detail::trie_index(n->datamap, bit), ci, nullptr, 0);
      n->retarget(s, detail::trie_slot(bit, false));
      s = detail::trie_slot(bit, false);
    }
    const unsigned was = ((below & kWasMax) && n->order[detail::kFirstMax] == s ? kWasMax : 0) |
                         ((below & kWasMin) && n->order[detail::kFirstMin] == s ? kWasMin : 0);
    lowered(n, s, below);
    return was;
  }

  Node* root_ = nullptr;
  size_type size_ = 0;
  Hasher hasher_;
};

}  // namespace store
