// The passwords a store connection string carries, and their removal from what is logged or
// thrown: MaskConnectionPasswords gives the string as a log line may show it, RedactSecrets takes
// the passwords out of any text (a client library's error message may echo one).
//
// What counts as a password, in each form a location accepts:
// - URI (scheme://...): the user part's password, from the first ':' after "://" to the last '@'
//   before the first '/' (the client library reads it up to an '@' and lets '?', '#', ':' and '&'
//   through), and the value of a `password` or `sslpassword` query parameter, up to the next '&'
//   (keys are compared percent-decoded; a query before that '@' counts too, as the library then
//   misreads it as a user name). The user name and the host stay visible.
// - keyword/value pairs: the value of `password` or `sslpassword`, quoted with backslash escapes
//   or up to white space.
// - comma-separated pairs (the Redis grammar, told from keyword/value pairs by its first key
//   ending in ':'): the value of a `password` pair, written with ':' or '=', up to the next ','.
//   The Redis store sends no password, but a string carrying one must not show it either. Pairs
//   all written with '=' ("host=h,port=1,password=x", no white space) read as one keyword pair, so
//   such a string is read both ways and both readings count.
// Keys are compared without regard to case. A password is a secret as written and as the client
// reads it (unquoted, unescaped, percent-decoded).
//
// Nothing here throws but std::bad_alloc. Pure functions: safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrik_encrypted_index::internal::backing_store {

struct ConnectionPassword {
  size_t begin = 0;   // first byte as written (a quoted value's quotes included)
  size_t size = 0;    // bytes as written; 0 for a present but empty password
  std::string value;  // as the client reads it
};

// Every password in the string, by position. Spans may overlap: of a URI user part with several
// '@', both the span to the last '@' and the client library's reading (to the first) are given.
std::vector<ConnectionPassword> FindConnectionPasswords(const std::string& connection_string);

// The string with each password (an empty one included) written as "****", everything else kept.
std::string MaskConnectionPasswords(const std::string& connection_string);

// What must never appear in a log line or an error text: each non-empty password as written and as
// read, without duplicates.
std::vector<std::string> ConnectionSecrets(const std::string& connection_string);

// `text` with every occurrence of every non-empty secret written as "****" (overlapping
// occurrences become one).
std::string RedactSecrets(const std::string& text, const std::vector<std::string>& secrets);

}  // namespace ostrik_encrypted_index::internal::backing_store
