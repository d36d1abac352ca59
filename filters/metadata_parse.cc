#include "filters/metadata_parse.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>

#include "core/team_size.h"
#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {

// Below this many texts a parallel region costs more than it saves.
constexpr int64_t kParallelThreshold = 256;

size_t ParseMetadataTexts(const std::vector<std::string>& texts, size_t begin, size_t end,
                          std::vector<nlohmann::json>& out) {
  const int64_t n = static_cast<int64_t>(end - begin);
  out.resize(static_cast<size_t>(n));
  std::vector<size_t> first_bad(static_cast<size_t>(omp_get_max_threads()), kNoBadText);
#pragma omp parallel for schedule(static) num_threads(ostrik::TeamIf(n >= kParallelThreshold))
  for (int64_t i = 0; i < n; ++i) {
    const std::string& text = texts[begin + static_cast<size_t>(i)];
    nlohmann::json& value = out[static_cast<size_t>(i)];
    bool ok = true;
    if (text.empty()) {
      value = nlohmann::json::object();
    } else if (ExceedsJsonDepth(text)) {
      ok = false;
    } else {
      try {
        value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        ok = !value.is_discarded();
      } catch (...) {
        ok = false;
      }
    }
    if (!ok) {
      // Static scheduling hands each thread ascending positions: its first failure is its least.
      size_t& mine = first_bad[static_cast<size_t>(omp_get_thread_num())];
      mine = std::min(mine, begin + static_cast<size_t>(i));
    }
  }
  return *std::min_element(first_bad.begin(), first_bad.end());
}

}  // namespace ostrik_encrypted_index::internal::filters
