#include "stores/connection_secrets.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

constexpr std::string_view kMask = "****";

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool IsPasswordKey(std::string_view key) { return IEquals(key, "password") || IEquals(key, "sslpassword"); }

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Lenient: a '%' not followed by two hex digits stays as written (the client refuses such a
// string, but its error text still echoes it).
std::string PercentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

void Add(std::vector<ConnectionPassword>& found, size_t begin, size_t end, std::string value) {
  found.push_back({begin, end - begin, std::move(value)});
}

// The `password` parameters of a query that starts at `query` (npos: none). Parameters end at '&'
// only: the client library gives '#' no meaning.
void FindInQuery(const std::string& s, size_t query, std::vector<ConnectionPassword>& found) {
  if (query == std::string::npos) return;
  size_t pos = query + 1;
  while (pos <= s.size()) {
    size_t end = s.find('&', pos);
    if (end == std::string::npos) end = s.size();
    const size_t eq = s.find('=', pos);
    if (eq < end && IsPasswordKey(PercentDecoded(std::string_view(s.data() + pos, eq - pos)))) {
      Add(found, eq + 1, end, PercentDecoded(std::string_view(s.data() + eq + 1, end - eq - 1)));
    }
    pos = end + 1;
  }
}

// scheme://[user[:password]@]host[:port][,...][/dbname][?key=value&...]
void FindInUri(const std::string& s, size_t scheme_end, std::vector<ConnectionPassword>& found) {
  const size_t auth_begin = scheme_end + 3;
  size_t auth_end = s.find('/', auth_begin);
  if (auth_end == std::string::npos) auth_end = s.size();
  size_t host_begin = auth_begin;
  const size_t at = auth_end > auth_begin ? s.rfind('@', auth_end - 1) : std::string::npos;
  if (at != std::string::npos && at >= auth_begin) {
    host_begin = at + 1;
    const size_t colon = s.find(':', auth_begin);
    if (colon < at) {
      const std::string_view written(s.data() + colon + 1, at - colon - 1);
      Add(found, colon + 1, at, PercentDecoded(written));
      // The client library ends the password at the first '@' and takes the rest as the host.
      const size_t first_at = s.find('@', colon + 1);
      if (first_at < at) {
        Add(found, colon + 1, first_at, PercentDecoded(std::string_view(s.data() + colon + 1, first_at - colon - 1)));
      }
    }
  }
  FindInQuery(s, s.find('?', host_begin), found);
  // Without a '/', an '@' in a query value ("?user=me@corp&password=...") makes the client library
  // read the query as a user name and the rest as the host, which its error text then echoes.
  const size_t early_query = s.find('?', auth_begin);
  if (early_query < host_begin) FindInQuery(s, early_query, found);
}

// key = value pairs separated by white space; a value is single-quoted or runs to white space,
// with backslash escapes in both.
void FindInKeywords(const std::string& s, std::vector<ConnectionPassword>& found) {
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    while (i < n && IsSpace(s[i])) ++i;
    const size_t key_begin = i;
    while (i < n && s[i] != '=' && !IsSpace(s[i])) ++i;
    const std::string_view key(s.data() + key_begin, i - key_begin);
    size_t j = i;
    while (j < n && IsSpace(s[j])) ++j;
    if (j >= n || s[j] != '=') continue;  // not a key=value pair
    i = j + 1;
    while (i < n && IsSpace(s[i])) ++i;
    const size_t value_begin = i;
    std::string value;
    if (i < n && s[i] == '\'') {
      ++i;
      while (i < n && s[i] != '\'') {
        if (s[i] == '\\' && i + 1 < n) ++i;
        value += s[i++];
      }
      if (i < n) ++i;
    } else {
      while (i < n && !IsSpace(s[i])) {
        if (s[i] == '\\' && i + 1 < n) ++i;
        value += s[i++];
      }
    }
    if (IsPasswordKey(key)) Add(found, value_begin, i, std::move(value));
  }
}

// key:value pairs separated by ',' (also key=value, as other Redis clients write them).
void FindInPairs(const std::string& s, std::vector<ConnectionPassword>& found) {
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    const size_t sep = s.find_first_of(":=", pos);
    if (sep < end) {
      std::string_view key(s.data() + pos, sep - pos);
      while (!key.empty() && IsSpace(key.front())) key.remove_prefix(1);
      while (!key.empty() && IsSpace(key.back())) key.remove_suffix(1);
      if (IEquals(key, "password")) Add(found, sep + 1, end, s.substr(sep + 1, end - sep - 1));
    }
    pos = end + 1;
  }
}

bool IsUri(const std::string& s, size_t scheme_end) {
  if (scheme_end == std::string::npos || scheme_end == 0) return false;
  for (size_t i = 0; i < scheme_end; ++i) {
    const char c = s[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return false;
  }
  return true;
}

// A keyword never holds ':', and a Redis key is never followed by '=' or white space first.
bool IsPairList(const std::string& s) {
  for (char c : s) {
    if (c == ':') return true;
    if (c == '=' || IsSpace(c)) return false;
  }
  return false;
}

// Pairs separated by ',' and nothing else: no white space, which separates keyword pairs.
bool IsCommaList(const std::string& s) {
  return s.find(',') != std::string::npos && std::none_of(s.begin(), s.end(), IsSpace);
}

// Spans as [begin, end), sorted and with overlapping ones (and empty ones at one place) joined.
std::vector<std::pair<size_t, size_t>> Joined(std::vector<std::pair<size_t, size_t>> spans) {
  std::sort(spans.begin(), spans.end());
  std::vector<std::pair<size_t, size_t>> out;
  for (const auto& span : spans) {
    if (!out.empty() && (span.first < out.back().second || span.first == out.back().first)) {
      out.back().second = std::max(out.back().second, span.second);
    } else {
      out.push_back(span);
    }
  }
  return out;
}

std::string Masked(const std::string& s, const std::vector<std::pair<size_t, size_t>>& spans) {
  std::string out;
  out.reserve(s.size() + spans.size() * kMask.size());
  size_t pos = 0;
  for (const auto& [begin, end] : Joined(spans)) {
    out.append(s, pos, begin - pos);
    out += kMask;
    pos = end;
  }
  out.append(s, pos, std::string::npos);
  return out;
}

}  // namespace

std::vector<ConnectionPassword> FindConnectionPasswords(const std::string& connection_string) {
  std::vector<ConnectionPassword> found;
  const size_t scheme_end = connection_string.find("://");
  if (IsUri(connection_string, scheme_end)) {
    FindInUri(connection_string, scheme_end, found);
  } else if (IsPairList(connection_string)) {
    FindInPairs(connection_string, found);
  } else {
    FindInKeywords(connection_string, found);
    // Redis pairs written with '=' ("host=h,port=1,password=x") are one keyword pair whose value
    // runs to the end; read as pairs as well, so both readings are masked.
    if (IsCommaList(connection_string)) FindInPairs(connection_string, found);
  }
  std::sort(found.begin(), found.end(), [](const ConnectionPassword& a, const ConnectionPassword& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.size > b.size;
  });
  return found;
}

std::string MaskConnectionPasswords(const std::string& connection_string) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (const auto& p : FindConnectionPasswords(connection_string)) spans.emplace_back(p.begin, p.begin + p.size);
  return Masked(connection_string, spans);
}

std::vector<std::string> ConnectionSecrets(const std::string& connection_string) {
  std::vector<std::string> secrets;
  for (const auto& p : FindConnectionPasswords(connection_string)) {
    for (std::string secret : {connection_string.substr(p.begin, p.size), p.value}) {
      if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end()) {
        secrets.push_back(std::move(secret));
      }
    }
  }
  return secrets;
}

std::string RedactSecrets(const std::string& text, const std::vector<std::string>& secrets) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (const auto& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1)) {
      spans.emplace_back(at, at + secret.size());
    }
  }
  if (spans.empty()) return text;
  return Masked(text, spans);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
