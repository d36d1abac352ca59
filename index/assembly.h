// Steps shared by the Client operations that open an index: the choice of logger and the part of
// the engine's IndexSetup that every operation fills the same way.
//
// Internal to the index layer. ChooseLogger never throws; BaseSetup only on allocation failure;
// CheckCpuThreads throws std::invalid_argument. All run on the calling thread; ChooseLogger sets
// the module-wide current_logger.
#pragma once

#include <cstdint>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "index/encrypted_index.h"
#include "token_store/index_setup.h"

namespace ostrik {

// The caller's logger, else the singleton reconfigured to ERROR on the console; it becomes
// current_logger.
Logger* ChooseLogger(Logger* logger);

// Refuses a thread count outside 0 (the OpenMP default) to kMaxCpuThreads, before the index is
// opened: "cpu_threads must be between 0 (the OpenMP default) and 1024, not <count>."
void CheckCpuThreads(int32_t cpu_threads);

// Name, key, the four locations (a data location NONE takes the index location), thread count
// and GPU flag.
IndexSetup BaseSetup(const std::string& name, const IndexKey& key, const DBConfig& index_location,
                     const DBConfig& config_location, const DBConfig& items_location, const DBConfig& data_location,
                     int32_t cpu_threads, bool gpu_accelerate);

}  // namespace ostrik
