// Sharing one index between processes: the writer scope every change runs in, the refresh before
// every read, and following (or refusing) what another process did to the index meanwhile.
#include <stdexcept>

#include "index/encrypted_index.h"
#include "index/serialized_index.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

using ostrik_encrypted_index::internal::token_store::kIndexConfigSuffix;
using ostrik_encrypted_index::internal::token_store::WriteIntent;

}  // namespace

EncryptedIndex::Writing::Writing(EncryptedIndex& index, bool finish_only)
    : index_(index), finish_only_(finish_only) {
  TokenIndex& engine = *index_.token_index_;
  const std::optional<WriteIntent> intent = engine.BeginWrite();
  try {
    index_.Reconcile();
  } catch (...) {
    // Refused before anything was written: a deleted index must stay without a head.
    engine.ReleaseWrite();
    throw;
  }
  try {
    if (intent) finished_training_ = index_.FinishInterrupted(*intent);
    if (!finish_only_) engine.StampWrite();
  } catch (...) {
    engine.AbortWrite();
    throw;
  }
}

EncryptedIndex::Writing::~Writing() {
  if (done_ || !index_.token_index_) return;
  if (finish_only_) {
    index_.token_index_->ReleaseWrite();
  } else {
    index_.token_index_->AbortWrite();
  }
}

void EncryptedIndex::Writing::Commit(const std::optional<EpochTag>& new_epoch) {
  if (done_) return;
  index_.token_index_->EndWrite(new_epoch);
  index_.epoch_ = index_.token_index_->head().epoch;
  done_ = true;
}

void EncryptedIndex::Writing::Dismiss() {
  if (done_) return;
  index_.token_index_->ReleaseWrite();
  done_ = true;
}

bool EncryptedIndex::FinishInterrupted(const WriteIntent& intent) {
  if (intent.kind != WriteIntent::Kind::kTrain) {
    log().warning("Finishing an interrupted write of index " + index_name_);
    token_index_->FinishIntent(intent);
    token_index_->ClearIntent();
    return false;
  }
  // The switch is the stored configuration (this object's own, where none is stored): once it names
  // the trained lists, the training is finished forwards; before, it is taken back, and the index
  // is untrained as it was.
  const bool switched =
      token_index_->config_persistent()
          ? ReadSerializedIndex(token_index_->LoadConfig(index_name_ + kIndexConfigSuffix)).is_trained
          : is_trained_;
  if (switched) {
    log().warning("Finishing an interrupted training of index " + index_name_);
    CompleteTraining(intent, nullptr);
    return true;
  }
  log().warning("Taking back an interrupted training of index " + index_name_);
  UndoTraining(intent);
  return false;
}

void EncryptedIndex::RefreshForRead(bool with_counts) {
  auto read = [&] {
    if (with_counts) {
      token_index_->LoadTokenCounts();
    } else {
      token_index_->ReadHead();
    }
  };
  read();
  if (token_index_->head().pending) {
    // Another write is under way, or its writer is gone: wait for the lock, finish what is left.
    { Writing finish(*this, true); }
    read();
  }
  Reconcile();
}

void EncryptedIndex::Reconcile() {
  using Head = ostrik_encrypted_index::internal::token_store::IndexHead;
  const Head& head = token_index_->head();
  if (head.present && epoch_ && head.epoch == *epoch_) return;
  // Nobody else reaches an index whose configuration lives in this process.
  if (!token_index_->config_persistent()) {
    epoch_ = head.present ? std::optional<EpochTag>(head.epoch) : std::nullopt;
    return;
  }
  auto text = [this](const std::string& what) {
    return "The index '" + index_name_ + "' was " + what + " by another process since it was opened: load it again.";
  };
  auto refuse = [&](const std::string& what) {
    log().error(text(what));
    throw std::runtime_error(text(what));
  };
  Bytes bytes;
  try {
    bytes = token_index_->LoadConfig(index_name_ + kIndexConfigSuffix);
  } catch (const std::runtime_error&) {
    log().error(text("deleted"));
    throw IndexGoneError(text("deleted"));
  }
  SerializedIndex stored;
  try {
    stored = ReadSerializedIndex(bytes);
  } catch (const std::exception&) {
    refuse("changed");
  }
  // The serialized form is canonical: the same fields always give the same bytes.
  const Bytes mine = SerializeIndexTable(index_name_, *index_config_, *quantizers_, is_trained_);
  if (bytes != mine) {
    if (is_trained_ || !stored.is_trained ||
        SerializeIndexTable(index_name_, *index_config_, stored.quantizers, true) != bytes) {
      refuse(stored.is_trained == is_trained_ ? "re-created" : "changed");
    }
    // Trained elsewhere: its lists are this index's from now on.
    log().info("Index " + index_name_ + " was trained by another process; following its lists");
    quantizers_->coarse = stored.quantizers.coarse;
    is_trained_ = true;
  }
  epoch_ = head.present ? std::optional<EpochTag>(head.epoch) : std::nullopt;
}

}  // namespace ostrik
