#include "index/encrypted_index.h"

#include <stdexcept>
#include <utility>

#include "index/assembly.h"
#include "index/serialized_index.h"
#include "token_store/token_index.h"

namespace ostrik {

Logger* ChooseLogger(Logger* logger) {
  if (logger == nullptr) {
    logger = &Logger::instance();
    logger->configure(ERROR, false, "");
  }
  current_logger = logger;
  return logger;
}

EncryptedIndex::EncryptedIndex(std::string name, const IndexKey& key, Quantizers quantizers, bool trained,
                               Logger* logger)
    : index_name_(std::move(name)),
      index_key_(key),
      quantizers_(std::make_unique<Quantizers>(std::move(quantizers))),
      is_trained_(trained),
      logger_(logger != nullptr ? logger : &Logger::instance()) {}

EncryptedIndex::~EncryptedIndex() {
  // The engine's own destructor saves its counts and never throws.
  quantizers_.reset();
  token_index_.reset();
  index_config_.reset();
}

bool EncryptedIndex::is_trained() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return is_trained_;
}

std::string EncryptedIndex::index_name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_name_;
}

std::unique_ptr<IndexConfig> EncryptedIndex::index_config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!token_index_ || !index_config_) FailNotConnected(false);
  return index_config_->clone();
}

std::optional<std::string> EncryptedIndex::embedding_model() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!token_index_ || !index_config_) return std::nullopt;
  return index_config_->embedding_model.value_or(std::string());
}

void EncryptedIndex::Assemble(const IndexConfig& config, const IndexSetup& setup) {
  auto refuse = [this](const char* message) {
    log().error(message);
    throw std::invalid_argument(message);
  };
  if (index_name_.empty()) refuse("Index name cannot be an empty string.");
  if (config.n_lists() == 0) refuse("n_lists cannot be 0.");
  if (config.dimension() == 0) refuse("Vector dimension cannot be 0.");
  index_config_ = config.clone();
  cpu_threads_ = setup.cpu_threads.value_or(0);
  gpu_accelerate_ = setup.gpu_accelerate.value_or(false);
  try {
    token_index_ = std::make_unique<TokenIndex>(setup, logger_);
    epoch_ = token_index_->head().epoch;
    token_index_->StoreIndexConfig(SerializeIndexTable(index_name_, *index_config_, *quantizers_, is_trained_));
  } catch (...) {
    if (token_index_) {
      // The engine state and head are written: without removing them the name could never be
      // created again.
      try {
        token_index_->BeginWrite(false);
        token_index_->DeleteIndex(true);
      } catch (const std::exception& e) {
        log().error(std::string("Failed to remove the config items of a failed index: ") + e.what());
      }
      token_index_->ReleaseWrite();
    }
    token_index_.reset();
    index_config_.reset();
    throw;
  }
}

void EncryptedIndex::FailNotConnected(bool as_upsert) const {
  if (as_upsert) {
    log().error(kNotConnectedMessage);
    throw std::logic_error(kNotConnectedMessage);
  }
  log().critical(kNotConnectedMessage);
  throw std::runtime_error(kNotConnectedMessage);
}

Bytes EncryptedIndex::SerializeIndex() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!index_config_) FailNotConnected(false);
  return SerializeIndexTable(index_name_, *index_config_, *quantizers_, is_trained_);
}

void EncryptedIndex::DeleteIndex() {
  std::lock_guard<std::mutex> lock(mutex_);
  DeleteIndexLocked();
}

void EncryptedIndex::DeleteIndexLocked() {
  log().info("Deleting Index");
  if (!token_index_) FailNotConnected(false);
  try {
    // A failure here leaves the index connected with every field: the caller may try again, and
    // so may another process (the config items go last, so the index still loads).
    Writing writing(*this);
    token_index_->DeleteIndex(true);
    writing.Dismiss();
  } catch (const IndexGoneError&) {
    // Deleted by another process already: what is left to do is to disconnect.
  }
  token_index_.reset();
  is_trained_ = false;
  index_name_.clear();
  index_config_.reset();
  index_key_.fill(0);
  quantizers_ = std::make_unique<Quantizers>();
  candidates_ = ItemRecords();
}

}  // namespace ostrik
