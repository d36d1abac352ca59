#include "token_store/token_cache.h"

#include <iostream>

namespace ostrik_encrypted_index::internal::token_store {

TokenCacheEntry* TokenCache::Find(uint32_t token) {
  auto it = entries_.find(token);
  return it == entries_.end() ? nullptr : &it->second;
}

const TokenCacheEntry* TokenCache::Find(uint32_t token) const {
  auto it = entries_.find(token);
  return it == entries_.end() ? nullptr : &it->second;
}

void TokenCache::Touch(uint32_t token) {
  auto it = entries_.find(token);
  if (it == entries_.end() || it->second.position == recency_.begin()) return;
  recency_.splice(recency_.begin(), recency_, it->second.position);
}

void TokenCache::Erase(uint32_t token) {
  auto it = entries_.find(token);
  if (it == entries_.end()) return;
  recency_.erase(it->second.position);
  entries_.erase(it);
}

void TokenCache::Append(uint32_t token, const std::vector<TokenItem>& items) {
  auto it = entries_.find(token);
  if (it == entries_.end()) return;
  std::shared_ptr<TokenList>& list = it->second.items;
  // An earlier answer may still hold the list: it must keep what it was given.
  if (list.use_count() > 1) list = std::make_shared<TokenList>(*list);
  for (const TokenItem& item : items) {
    if (!list->Append(item)) {
      Erase(token);
      return;
    }
  }
  Touch(token);
}

void TokenCache::InsertList(uint32_t token, std::shared_ptr<TokenList> items) {
  if (capacity_ == 0 || items == nullptr) return;
  if (entries_.count(token) != 0) {
    // Callers insert only tokens without an entry; replacing keeps the one-node-per-token invariant.
    Erase(token);
  }
  if (entries_.size() >= capacity_ && !recency_.empty()) Erase(recency_.back());
  recency_.push_front(token);
  entries_.emplace(token, TokenCacheEntry{std::move(items), recency_.begin()});
}

void TokenCache::Insert(uint32_t token, const std::vector<TokenItem>& items) {
  if (capacity_ == 0) return;
  auto list = std::make_shared<TokenList>();
  for (const TokenItem& item : items) {
    if (!list->Append(item)) {
      Erase(token);
      return;
    }
  }
  InsertList(token, std::move(list));
}

void TokenCache::EraseEntriesWithLabels(const std::unordered_set<uint64_t>& labels) {
  if (labels.empty() || entries_.empty()) return;
  std::vector<uint32_t> doomed;
  for (const auto& [token, entry] : entries_) {
    const TokenList& list = *entry.items;
    for (uint64_t i = 0; i < list.size(); ++i) {
      if (labels.count(list.data_label(i)) != 0) {
        doomed.push_back(token);
        break;
      }
    }
  }
  for (uint32_t token : doomed) Erase(token);
}

void TokenCache::Clear() {
  entries_.clear();
  recency_.clear();
}

CacheLookup LookupTokenCache(TokenCache& cache, const std::vector<uint32_t>& query_tokens,
                             const std::vector<uint32_t>& counts) {
  CacheLookup out;
  out.hit_and_miss.reserve(query_tokens.size());
  if (cache.capacity() == 0) {
    out.hit_and_miss.assign(query_tokens.size(), false);
    out.cache_misses = query_tokens;
    return out;
  }
  for (uint32_t token : query_tokens) {
    TokenCacheEntry* entry = cache.Find(token);
    uint64_t cached = 0;
    if (entry != nullptr) {
      cache.Touch(token);
      cached = entry->items->size();
    }
    if (counts[token] == cached) {
      out.hit_and_miss.push_back(true);
      out.cache_hit.push_back(entry != nullptr ? SharedTokenList(entry->items) : EmptyTokenList());
      out.hit_item_count += cached;
      continue;
    }
    if (entry == nullptr) {
      std::cout << "Token not found: " << token << std::endl;
    } else {
      cache.Erase(token);
    }
    out.hit_and_miss.push_back(false);
    out.cache_misses.push_back(token);
  }
  return out;
}

}  // namespace ostrik_encrypted_index::internal::token_store
