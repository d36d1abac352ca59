#include "filters/update_metadata.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "filters/centroid_summary.h"
#include "filters/json_limits.h"
#include "filters/metadata_parse.h"
#include "schemas/centroid_map_generated.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;

// Items parsed per parallel round; bounds the parsed values held at once.
constexpr size_t kParseChunk = 8192;

// The batch's contribution to one list of one path, folded as it is flattened so that a large
// batch (training re-ingests every item at once) holds summaries, not per-item entries.
struct BatchBucket {
  int32_t centroid_id = 0;
  bool has_range = false;  // some entry other than a no-number pair was folded in
  double min = 0;
  double max = 0;
  std::vector<uint32_t> hashes;
  size_t unique_prefix = 0;  // hashes[0, unique_prefix) is sorted and unique
};

void SortUnique(std::vector<uint32_t>& hashes) {
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
}

void Fold(BatchBucket& bucket, const CentroidMetaEntry& entry) {
  bucket.centroid_id = entry.centroid_id;
  if (!IsNoNumberPair(entry.min, entry.max)) {
    bucket.min = bucket.has_range ? std::min(bucket.min, entry.min) : entry.min;
    bucket.max = bucket.has_range ? std::max(bucket.max, entry.max) : entry.max;
    bucket.has_range = true;
  }
  bucket.hashes.insert(bucket.hashes.end(), entry.hashes.begin(), entry.hashes.end());
  if (bucket.hashes.size() > 2 * std::max<size_t>(bucket.unique_prefix, 64)) {
    SortUnique(bucket.hashes);
    bucket.unique_prefix = bucket.hashes.size();
  }
}

// Merges the batch into the stored summary; false when nothing changed.
bool Merge(CentroidMap& summary, std::map<uint32_t, BatchBucket>& batch) {
  bool changed = false;
  for (auto& [id, add] : batch) {
    SortUnique(add.hashes);
    auto [it, created] = summary.try_emplace(id);
    CentroidMetaEntry& bucket = it->second;
    if (created) {
      changed = true;  // starts as the empty range
    }
    if (bucket.centroid_id != add.centroid_id) {
      bucket.centroid_id = add.centroid_id;
      changed = true;
    }
    // Only entries of null, objects and number-free arrays leave the batch range empty.
    if (add.has_range && !IsEmptyRange(add.min, add.max)) {
      double min = std::min(bucket.min, add.min);
      double max = std::max(bucket.max, add.max);
      // A stored bound may sit on the no-number pair (summaries written before bounds were kept
      // off it); the union holds numbers and must not read as holding none. A stored pair is
      // widened around, not replaced: it may be a range of real -S and +S.
      WidenOffNoNumberPair(min, max);
      if (min != bucket.min || max != bucket.max) {
        bucket.min = min;
        bucket.max = max;
        changed = true;
      }
    }
    const size_t before = bucket.hashes.size();
    std::vector<uint32_t> merged;
    merged.reserve(before + add.hashes.size());
    std::set_union(bucket.hashes.begin(), bucket.hashes.end(), add.hashes.begin(), add.hashes.end(),
                   std::back_inserter(merged));
    if (merged.size() != before) {
      bucket.hashes = std::move(merged);
      changed = true;
    }
  }
  return changed;
}

}  // namespace

void UpdateMetadata(token_store::TokenIndex& engine, const std::vector<std::string>& metadata,
                    const std::vector<uint32_t>& input_tokens, ostrik::Logger& logger) {
  logger.info("UpdateMetadata");
  if (!metadata.empty() && metadata.size() != input_tokens.size()) {
    throw std::invalid_argument("Mismatch between the number of metadata texts and tokens.");
  }

  std::set<std::string> paths;
  std::map<std::string, std::map<uint32_t, BatchBucket>> batch;
  std::vector<json> parsed;
  for (size_t begin = 0; begin < metadata.size(); begin += kParseChunk) {
    const size_t end = std::min(metadata.size(), begin + kParseChunk);
    const size_t bad = ParseMetadataTexts(metadata, begin, end, parsed);
    if (bad != kNoBadText) {
      if (ExceedsJsonDepth(metadata[bad])) {
        throw std::invalid_argument("Metadata is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      }
      const json raised = json::parse(metadata[bad]);  // throws the parser's own error
      (void)raised;
    }
    for (size_t i = begin; i < end; ++i) {
      if (metadata[i].empty()) continue;
      FlatEntries entries;
      FlattenMetadata(parsed[i - begin], paths, static_cast<int32_t>(input_tokens[i]), entries, "");
      for (const auto& [path, list] : entries) {
        auto& buckets = batch[path];
        for (const CentroidMetaEntry& entry : list) Fold(buckets[static_cast<uint32_t>(entry.centroid_id)], entry);
      }
    }
  }
  if (paths.empty()) return;

  const std::vector<std::string> path_list(paths.begin(), paths.end());
  std::vector<ostrik::Bytes> buffers = engine.GetCentroidMetadata(path_list);
  if (buffers.size() != path_list.size()) {
    throw std::runtime_error("Metadata summary fetch returned " + std::to_string(buffers.size()) + " buffers for " +
                             std::to_string(path_list.size()) + " fields");
  }
  for (size_t k = 0; k < path_list.size(); ++k) {
    CentroidMap summary;
    if (!buffers[k].empty()) {
      switch (InspectCentroidMapBuffer(buffers[k].data(), buffers[k].size())) {
        case SummaryBuffer::kCorrupt:
          // Rewriting it would lose what it records, and pre-filtering would then skip lists.
          throw std::runtime_error("Corrupt metadata summary for field '" + path_list[k] + "'");
        case SummaryBuffer::kNoEntries:
          break;
        case SummaryBuffer::kValid:
          summary = DecodeCentroidMap(ostrik::schema::GetCentroidMapTable(buffers[k].data()));
          break;
      }
    }
    // An unchanged summary keeps its plaintext byte for byte; only its envelope is new.
    if (Merge(summary, batch[path_list[k]])) buffers[k] = EncodeCentroidMap(summary);
  }

  const std::vector<uint64_t> keys = ostrik::HashItemIds(path_list, engine.centroid_metadata_key_.data());
  const std::vector<ostrik::Bytes> values = ostrik::EncryptItems(buffers, engine.centroid_metadata_key_.data());
  engine.index_store_->BatchPushVariable(keys, values);
}

}  // namespace ostrik_encrypted_index::internal::filters
