// IndexSetup: what the client layer tells an engine about the index it is to build or reopen.
//
// Plain value record; the engine copies every field and keeps no reference to it. Nothing here
// throws. Safe to share read-only between threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/config.h"

namespace ostrik {

struct IndexSetup {
  std::string index_name;
  std::array<uint8_t, 32> index_key{};
  DBConfig index_location;
  DBConfig config_location;
  DBConfig items_location;
  // The client puts a copy of index_location here when its data location is NONE.
  DBConfig data_location;
  std::optional<int32_t> cpu_threads;     // absent: 1; 0 leaves the OpenMP default
  std::optional<bool> gpu_accelerate;     // absent: false
  std::optional<uint64_t> max_cache_size;  // tokens; absent or 0: no token cache
  int32_t tree_depth = 32;                // unused by the load path (read from the engine state)
  int32_t vocab_size = 0;                 // n_lists; unused by the load path
  uint64_t payload_size = 0;              // dimension * 4; unused by the load path
};

}  // namespace ostrik
