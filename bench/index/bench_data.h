// What the index benchmarks share: the data sets make_data.py writes (base vectors, queries and
// their brute-force neighbours), raw file reading and writing, the machine's load, and the cost of
// one OpenMP region right now (how the benchmarks tell a quiet machine from a busy one).
//
// Readers throw std::runtime_error for a missing or short file. Single-threaded use.
#pragma once

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace dz_bench {

struct Dataset {
  std::string name;
  uint64_t n = 0, dim = 0, n_queries = 0, gt_k = 0;
  ostrik::FloatMatrix base;
  ostrik::FloatMatrix queries;
  std::vector<int32_t> gt;  // gt_k nearest base rows per query, nearest first
  std::vector<std::string> ids;  // "0" .. "n - 1"
};

template <typename T>
std::vector<T> ReadFile(const std::string& path, uint64_t count) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<T> values(count);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (static_cast<uint64_t>(in.gcount()) != count * sizeof(T) || in.peek() != EOF) {
    throw std::runtime_error(path + " does not hold " + std::to_string(count) + " values");
  }
  return values;
}

template <typename T>
void WriteFile(const std::string& path, const std::vector<T>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// NAME_shape.txt ("n dim queries k"), NAME_base.f32, NAME_queries.f32, NAME_gt.i32 from `dir`.
// Refused unless there are at least min_queries queries and min_k neighbours per query.
Dataset LoadDataset(const std::string& dir, const std::string& name, uint64_t min_queries, uint64_t min_k);

// Rows begin .. begin + count - 1 of m, as a matrix of their own.
ostrik::FloatMatrix Rows(const ostrik::FloatMatrix& m, uint64_t begin, uint64_t count);

// The 1, 5 and 15 minute load averages, as /proc/loadavg gives them.
std::string LoadAverage();

// What one OpenMP region with a barrier costs on `threads` threads right now, in microseconds
// (median of 50). On an idle machine a few; when other processes hold cores, a region waits for
// its descheduled threads, and the parallel figures measure the machine rather than the code.
double RegionMicros(int threads);

}  // namespace dz_bench
