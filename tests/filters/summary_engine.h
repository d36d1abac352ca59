// A memory-store engine for the summary suites, with helpers that read its summaries back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "filters/centroid_summary.h"
#include "token_store/token_index.h"

namespace filters_test {

namespace ts = ostrik_encrypted_index::internal::token_store;
namespace fl = ostrik_encrypted_index::internal::filters;

inline std::unique_ptr<ts::TokenIndex> MemoryEngine(int32_t n_lists, const std::string& name = "summaries") {
  ostrik::IndexSetup setup;
  setup.index_name = name;
  for (size_t i = 0; i < setup.index_key.size(); ++i) setup.index_key[i] = static_cast<uint8_t>(i * 7 + 1);
  setup.index_location = ostrik::DBConfig("memory");
  setup.config_location = ostrik::DBConfig("memory");
  setup.items_location = ostrik::DBConfig("memory");
  setup.data_location = ostrik::DBConfig("memory");
  setup.vocab_size = n_lists;
  setup.payload_size = 8;
  return std::make_unique<ts::TokenIndex>(setup, nullptr);
}

inline uint64_t SummaryKey(const ts::TokenIndex& engine, const std::string& path) {
  return ostrik::HashItemIds({path}, engine.centroid_metadata_key_.data()).at(0);
}

// The stored envelope of a path's summary ("" when none).
inline ostrik::Bytes RawSummary(ts::TokenIndex& engine, const std::string& path) {
  return engine.index_store_->BatchGetVariable({SummaryKey(engine, path)}).at(0);
}

inline ostrik::Bytes Plaintext(ts::TokenIndex& engine, const std::string& path) {
  return engine.GetCentroidMetadata({path}).at(0);
}

inline fl::CentroidMap Summary(ts::TokenIndex& engine, const std::string& path) {
  const ostrik::Bytes plain = Plaintext(engine, path);
  if (plain.empty()) return {};
  return fl::DecodeCentroidMapBuffer(plain);
}

// Stores an arbitrary plaintext as the summary of a path, as the update would.
inline void PushSummaryPlaintext(ts::TokenIndex& engine, const std::string& path, const ostrik::Bytes& plain) {
  engine.index_store_->BatchPushVariable({SummaryKey(engine, path)},
                                         ostrik::EncryptItems({plain}, engine.centroid_metadata_key_.data()));
}

}  // namespace filters_test
