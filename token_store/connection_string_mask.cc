#include <cctype>
#include <string>

#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

constexpr const char* kMask = "****";

bool IEquals(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

// URI form: scheme://[user[:password]@]host.../path?key=value&...
std::string MaskUri(const std::string& s, size_t scheme_end) {
  std::string out = s;
  const size_t auth_begin = scheme_end + 3;
  size_t auth_end = out.find_first_of("/?#", auth_begin);
  if (auth_end == std::string::npos) auth_end = out.size();
  const size_t at = out.rfind('@', auth_end == 0 ? 0 : auth_end - 1);
  if (at != std::string::npos && at >= auth_begin) {
    const size_t colon = out.find(':', auth_begin);
    if (colon != std::string::npos && colon < at) {
      out.replace(colon + 1, at - colon - 1, kMask);
    }
  }
  // Query parameters, e.g. ?password=secret.
  size_t q = out.find('?', auth_begin);
  if (q == std::string::npos) return out;
  size_t pos = q + 1;
  while (pos < out.size()) {
    size_t end = out.find_first_of("&#", pos);
    if (end == std::string::npos) end = out.size();
    const size_t eq = out.find('=', pos);
    if (eq != std::string::npos && eq < end && IEquals(out.substr(pos, eq - pos), "password")) {
      out.replace(eq + 1, end - eq - 1, kMask);
      end = eq + 1 + std::char_traits<char>::length(kMask);
    }
    if (end >= out.size() || out[end] == '#') break;
    pos = end + 1;
  }
  return out;
}

// keyword=value form; values may be single-quoted with backslash escapes.
std::string MaskKeywords(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (i < n) {
    while (i < n && is_space(s[i])) out += s[i++];
    const size_t key_begin = i;
    while (i < n && s[i] != '=' && !is_space(s[i])) ++i;
    const std::string key = s.substr(key_begin, i - key_begin);
    out += key;
    size_t j = i;
    while (j < n && is_space(s[j])) ++j;
    if (j >= n || s[j] != '=') continue;  // not a key=value pair: copied as it stands
    out.append(s, i, j - i + 1);
    i = j + 1;
    while (i < n && is_space(s[i])) out += s[i++];
    const size_t value_begin = i;
    if (i < n && s[i] == '\'') {
      ++i;
      while (i < n && s[i] != '\'') i += (s[i] == '\\' && i + 1 < n) ? 2 : 1;
      if (i < n) ++i;
    } else {
      while (i < n && !is_space(s[i])) i += (s[i] == '\\' && i + 1 < n) ? 2 : 1;
    }
    if (IEquals(key, "password")) {
      out += kMask;
    } else {
      out.append(s, value_begin, i - value_begin);
    }
  }
  return out;
}

}  // namespace

std::string MaskConnectionString(const std::string& connection_string) {
  const size_t scheme_end = connection_string.find("://");
  if (scheme_end != std::string::npos) {
    bool scheme_ok = scheme_end > 0;
    for (size_t i = 0; i < scheme_end && scheme_ok; ++i) {
      const char c = connection_string[i];
      scheme_ok = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    }
    if (scheme_ok) return MaskUri(connection_string, scheme_end);
  }
  return MaskKeywords(connection_string);
}

}  // namespace ostrik_encrypted_index::internal::token_store
