#include "stores/connection_secrets.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {

// The stores find the passwords, so that what a log line hides and what their error texts redact
// follow one rule.
std::string MaskConnectionString(const std::string& connection_string) {
  return backing_store::MaskConnectionPasswords(connection_string);
}

}  // namespace ostrik_encrypted_index::internal::token_store
