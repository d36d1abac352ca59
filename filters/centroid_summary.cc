#include "filters/centroid_summary.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <flatbuffers/flatbuffers.h>

#include "core/logger.h"
#include "filters/json_limits.h"
#include "schemas/centroid_map_generated.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;
constexpr double S = kMetaRangeSentinel;

uint32_t BoolCrc(bool b) {
  static const uint32_t kTrue = StringCrc32("true");
  static const uint32_t kFalse = StringCrc32("false");
  return b ? kTrue : kFalse;
}

CentroidMetaEntry EntryOf(const json& value, int32_t centroid_id) {
  CentroidMetaEntry entry;
  entry.centroid_id = centroid_id;
  switch (value.type()) {
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      entry.min = entry.max = value.get<double>();
      WidenOffNoNumberPair(entry.min, entry.max);
      break;
    case json::value_t::boolean:
      entry.min = -S;
      entry.max = S;
      entry.hashes.push_back(BoolCrc(value.get<bool>()));
      break;
    case json::value_t::string:
      entry.min = -S;
      entry.max = S;
      entry.hashes.push_back(StringCrc32(value.get_ref<const std::string&>()));
      break;
    case json::value_t::array:
      entry.hashes.push_back(StringCrc32(value.dump()));
      for (const json& element : value) {
        if (element.is_string()) {
          entry.hashes.push_back(StringCrc32(element.get_ref<const std::string&>()));
        } else if (element.is_boolean()) {
          entry.hashes.push_back(BoolCrc(element.get<bool>()));
        } else if (element.is_number()) {
          const double v = element.get<double>();
          entry.min = std::min(entry.min, v);
          entry.max = std::max(entry.max, v);
        } else if (element.is_array()) {
          // An array operand of $eq also matches an equal element array; its text must be here
          // for pre-filtering to keep the list.
          entry.hashes.push_back(StringCrc32(element.dump()));
        }
      }
      // Numbers spanning -S to +S would otherwise be taken for a string's pair and skipped.
      WidenOffNoNumberPair(entry.min, entry.max);
      break;
    default:
      break;  // null and objects: empty range, no hashes
  }
  return entry;
}

void Flatten(const json& value, std::set<std::string>& paths, int32_t centroid_id, FlatEntries& entries,
             const std::string& prefix, bool top, size_t depth) {
  if (value.is_object()) {
    if (++depth > kMaxJsonDepth) {
      throw std::invalid_argument("Metadata is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
      // The top flag, not an empty prefix, marks the top level: the children of the empty key
      // get ".child", the path the evaluator resolves to them.
      std::string path = top ? it.key() : prefix + "." + it.key();
      paths.insert(path);
      entries[path].push_back(EntryOf(it.value(), centroid_id));
      Flatten(it.value(), paths, centroid_id, entries, path, false, depth);
    }
  } else if (value.is_array()) {
    if (++depth > kMaxJsonDepth) {
      throw std::invalid_argument("Metadata is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    for (const json& element : value) Flatten(element, paths, centroid_id, entries, prefix, top, depth);
  }
}

}  // namespace

uint32_t StringCrc32(const std::string& text) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const auto* bytes = reinterpret_cast<const Bytef*>(text.data());
  size_t left = text.size();
  // zlib takes 32-bit lengths; longer values are fed in chunks, which gives the same CRC.
  while (left > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    crc = crc32(crc, bytes, chunk);
    bytes += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

void FlattenMetadata(const json& value, std::set<std::string>& paths, int32_t centroid_id, FlatEntries& entries,
                     const std::string& prefix) {
  try {
    Flatten(value, paths, centroid_id, entries, prefix, prefix.empty(), 0);
  } catch (const std::exception& e) {
    const std::string message = std::string("Error while retrieving keys and metadata centroid map: ") + e.what();
    ostrik::CurrentLogger().critical(message);
    if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr) throw std::invalid_argument(message);
    throw std::runtime_error(message);
  }
}

ostrik::Bytes EncodeCentroidMap(const CentroidMap& summary) {
  flatbuffers::FlatBufferBuilder builder(1024);
  std::vector<flatbuffers::Offset<ostrik::schema::CentroidEntryTable>> tables;
  tables.reserve(summary.size());
  for (const auto& [id, bucket] : summary) {
    const auto hashes = builder.CreateVector(bucket.hashes);
    ostrik::schema::CentroidEntryTableBuilder entry(builder);
    entry.add_max(bucket.max);
    entry.add_min(bucket.min);
    entry.add_hashes(hashes);
    entry.add_centroid_id(bucket.centroid_id);
    tables.push_back(entry.Finish());
  }
  const auto vector = builder.CreateVector(tables);
  const auto root = ostrik::schema::CreateCentroidMapTable(builder, vector);
  builder.Finish(root);
  return ostrik::Bytes(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

CentroidMap DecodeCentroidMap(const ostrik::schema::CentroidMapTable* root) {
  CentroidMap summary;
  for (const auto* table : *root->entries()) {
    CentroidMetaEntry entry;
    entry.centroid_id = table->centroid_id();
    entry.min = table->min();
    entry.max = table->max();
    if (const auto* hashes = table->hashes()) entry.hashes.assign(hashes->begin(), hashes->end());
    summary[static_cast<uint32_t>(entry.centroid_id)] = std::move(entry);
  }
  return summary;
}

SummaryBuffer InspectCentroidMapBuffer(const uint8_t* data, size_t size) {
  // One table per list: the verifier's default table budget would refuse very large summaries.
  flatbuffers::Verifier verifier(data, size, 64, std::numeric_limits<flatbuffers::uoffset_t>::max());
  if (!ostrik::schema::VerifyCentroidMapTableBuffer(verifier)) return SummaryBuffer::kCorrupt;
  return ostrik::schema::GetCentroidMapTable(data)->entries() ? SummaryBuffer::kValid : SummaryBuffer::kNoEntries;
}

CentroidMap DecodeCentroidMapBuffer(const ostrik::Bytes& buffer) {
  switch (InspectCentroidMapBuffer(buffer.data(), buffer.size())) {
    case SummaryBuffer::kCorrupt:
      throw std::runtime_error("Metadata summary buffer is corrupt (" + std::to_string(buffer.size()) + " bytes)");
    case SummaryBuffer::kNoEntries:
      throw std::runtime_error("Metadata summary buffer has no entry list");
    case SummaryBuffer::kValid:
      break;
  }
  return DecodeCentroidMap(ostrik::schema::GetCentroidMapTable(buffer.data()));
}

}  // namespace ostrik_encrypted_index::internal::filters
