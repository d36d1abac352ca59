#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {

bool ExceedsJsonDepth(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '{':
      case '[':
        if (++depth > limit) return true;
        break;
      case '}':
      case ']':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace ostrik_encrypted_index::internal::filters
