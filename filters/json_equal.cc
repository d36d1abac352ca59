#include "filters/json_equal.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;

bool DoubleEqualsSigned(double d, int64_t i) {
  // The range test keeps the cast defined; the integral test keeps 1.5 from equalling 1.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  if (std::trunc(d) != d) return false;
  return static_cast<int64_t>(d) == i;
}

bool DoubleEqualsUnsigned(double d, uint64_t u) {
  if (!(d >= 0.0 && d < 18446744073709551616.0)) return false;
  if (std::trunc(d) != d) return false;
  return static_cast<uint64_t>(d) == u;
}

bool Equal(const json& a, const json& b, size_t depth) {
  if (a.is_number() && b.is_number()) return JsonNumbersEqual(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case json::value_t::array: {
      if (a.size() != b.size()) return false;
      if (++depth > kMaxJsonDepth) throw std::invalid_argument("JSON value is nested too deeply");
      auto bi = b.begin();
      for (auto ai = a.begin(); ai != a.end(); ++ai, ++bi) {
        if (!Equal(*ai, *bi, depth)) return false;
      }
      return true;
    }
    case json::value_t::object: {
      if (a.size() != b.size()) return false;
      if (++depth > kMaxJsonDepth) throw std::invalid_argument("JSON value is nested too deeply");
      // Both sides are sorted by key, so a lockstep walk compares keys and values at once.
      auto bi = b.begin();
      for (auto ai = a.begin(); ai != a.end(); ++ai, ++bi) {
        if (ai.key() != bi.key() || !Equal(ai.value(), bi.value(), depth)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

}  // namespace

bool JsonNumbersEqual(const json& a, const json& b) {
  using vt = json::value_t;
  const vt ta = a.type();
  const vt tb = b.type();
  if (ta == vt::number_float && tb == vt::number_float) {
    return a.get_ref<const json::number_float_t&>() == b.get_ref<const json::number_float_t&>();
  }
  if (ta == vt::number_float || tb == vt::number_float) {
    const json& f = ta == vt::number_float ? a : b;
    const json& n = ta == vt::number_float ? b : a;
    const double d = f.get_ref<const json::number_float_t&>();
    if (n.type() == vt::number_unsigned) return DoubleEqualsUnsigned(d, n.get_ref<const json::number_unsigned_t&>());
    return DoubleEqualsSigned(d, n.get_ref<const json::number_integer_t&>());
  }
  if (ta == tb) {
    if (ta == vt::number_unsigned) {
      return a.get_ref<const json::number_unsigned_t&>() == b.get_ref<const json::number_unsigned_t&>();
    }
    return a.get_ref<const json::number_integer_t&>() == b.get_ref<const json::number_integer_t&>();
  }
  const json& s = ta == vt::number_integer ? a : b;
  const json& u = ta == vt::number_integer ? b : a;
  const int64_t i = s.get_ref<const json::number_integer_t&>();
  return i >= 0 && static_cast<uint64_t>(i) == u.get_ref<const json::number_unsigned_t&>();
}

bool JsonEqual(const json& a, const json& b) { return Equal(a, b, 0); }

}  // namespace ostrik_encrypted_index::internal::filters
