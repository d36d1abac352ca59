// TokenCache: a least-recently-used cache of the decrypted item lists of recently fetched tokens,
// with capacity counted in tokens (0 = off). A cached list is valid exactly while its length equals
// the token's current count; the caller passes the counts, the cache keeps none.
//
// Lists are flat (TokenList) and shared: a hit hands out the cached list itself, and a fetched list
// is cached as it was handed out. A shared list never changes: appending to a list that an earlier
// answer still holds appends to a copy. Every cached item remembers its data label, so that the
// engine can drop each list that holds a version of an item it overwrites or deletes (see
// EraseEntriesWithLabels).
//
// Nothing here throws except on allocation failure. Not synchronised: used from the engine's
// calling thread only.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "token_store/token_list.h"

namespace ostrik_encrypted_index::internal::token_store {

struct TokenCacheEntry {
  std::shared_ptr<TokenList> items;  // never null
  std::list<uint32_t>::iterator position;
};

class TokenCache {
 public:
  explicit TokenCache(uint64_t capacity = 0) : capacity_(capacity) {}
  // Entries hold iterators into the recency list: moving keeps them valid, copying would not.
  TokenCache(TokenCache&&) = default;
  TokenCache& operator=(TokenCache&&) = default;
  TokenCache(const TokenCache&) = delete;
  TokenCache& operator=(const TokenCache&) = delete;

  uint64_t capacity() const { return capacity_; }
  size_t size() const { return entries_.size(); }
  bool Contains(uint32_t token) const { return entries_.count(token) != 0; }
  // Null when the token has no entry.
  TokenCacheEntry* Find(uint32_t token);
  const TokenCacheEntry* Find(uint32_t token) const;
  // Tokens from most to least recently used.
  const std::list<uint32_t>& recency() const { return recency_; }

  void Touch(uint32_t token);
  void Erase(uint32_t token);
  // Appends to an existing entry and makes it the most recent. Items of another width than the
  // list's drop the entry instead.
  void Append(uint32_t token, const std::vector<TokenItem>& items);
  // For a token without an entry; evicts the least recently used token when full. The list is kept
  // as it is, not copied; nobody may change it afterwards.
  void InsertList(uint32_t token, std::shared_ptr<TokenList> items);
  // The same from separate items; items of differing widths are not cached.
  void Insert(uint32_t token, const std::vector<TokenItem>& items);
  // Drops every entry that holds an item stored under one of the labels.
  void EraseEntriesWithLabels(const std::unordered_set<uint64_t>& labels);
  void Clear();

 private:
  uint64_t capacity_;
  std::list<uint32_t> recency_;
  std::unordered_map<uint32_t, TokenCacheEntry> entries_;
};

struct CacheLookup {
  std::vector<SharedTokenList> cache_hit;  // one per hit, request order (never null)
  std::vector<bool> hit_and_miss;          // one per requested token
  std::vector<uint32_t> cache_misses;      // missed tokens, request order
  uint64_t hit_item_count = 0;
};

// counts[t] is token t's current item count; every token must be below counts.size() (the engine
// checks its tokens before calling).
CacheLookup LookupTokenCache(TokenCache& cache, const std::vector<uint32_t>& query_tokens,
                             const std::vector<uint32_t>& counts);

}  // namespace ostrik_encrypted_index::internal::token_store
