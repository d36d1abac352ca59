// The engine state record and the config items, all encrypted under the index key itself so that
// an index can be reopened from its name, key and locations alone.
#include <flatbuffers/flatbuffers.h>

#include <stdexcept>

#include "core/aes_gcm.h"
#include "schemas/token_index_state_generated.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {

ostrik::Bytes TokenIndex::SerializeState() const {
  flatbuffers::FlatBufferBuilder builder(1024);
  const auto text = builder.CreateString(state_text_);
  const auto root = ostrik::schema::CreateTokenIndexState(builder, static_cast<uint64_t>(tree_depth_),
                                                          static_cast<uint64_t>(vocab_size_), payload_size_,
                                                          value_size_, text);
  builder.Finish(root);
  return ostrik::Bytes(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

void TokenIndex::PushConfig(const std::string& name, const ostrik::Bytes& bytes) {
  if (bytes.empty()) throw std::invalid_argument("Data size must be a multiple of the number of columns");
  ostrik::Bytes copy = bytes;
  const uint64_t cols = copy.size();
  const ostrik::ByteMatrix encrypted =
      ostrik::EncryptMatrix(ostrik::ByteMatrix(std::move(copy), cols), index_key_.data());
  config_store_->PushConfigItem(name, encrypted.data);
}

ostrik::Bytes TokenIndex::LoadConfig(const std::string& name) {
  ostrik::Bytes value = config_store_->LoadConfigItem(name);
  if (value.empty()) throw std::invalid_argument("Data size must be a multiple of the number of columns");
  const uint64_t cols = value.size();
  ostrik::ByteMatrix plain = ostrik::DecryptMatrix(ostrik::ByteMatrix(std::move(value), cols), index_key_.data());
  return std::move(plain.data);
}

void TokenIndex::StoreIndexConfig(const ostrik::Bytes& bytes) { PushConfig(index_name_ + kIndexConfigSuffix, bytes); }

}  // namespace ostrik_encrypted_index::internal::token_store
