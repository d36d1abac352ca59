#include "bench/index/bench_data.h"

#include <omp.h>

#include <algorithm>
#include <chrono>

namespace dz_bench {

Dataset LoadDataset(const std::string& dir, const std::string& name, uint64_t min_queries, uint64_t min_k) {
  Dataset ds;
  ds.name = name;
  std::ifstream shape(dir + "/" + name + "_shape.txt");
  if (!(shape >> ds.n >> ds.dim >> ds.n_queries >> ds.gt_k) || ds.gt_k < min_k || ds.n_queries < min_queries) {
    throw std::runtime_error("bad or missing " + dir + "/" + name + "_shape.txt");
  }
  ds.base = {ds.n, ds.dim, ReadFile<float>(dir + "/" + name + "_base.f32", ds.n * ds.dim)};
  ds.queries = {ds.n_queries, ds.dim, ReadFile<float>(dir + "/" + name + "_queries.f32", ds.n_queries * ds.dim)};
  ds.gt = ReadFile<int32_t>(dir + "/" + name + "_gt.i32", ds.n_queries * ds.gt_k);
  ds.ids.reserve(ds.n);
  for (uint64_t i = 0; i < ds.n; ++i) ds.ids.push_back(std::to_string(i));
  return ds;
}

ostrik::FloatMatrix Rows(const ostrik::FloatMatrix& m, uint64_t begin, uint64_t count) {
  return {count, m.cols, std::vector<float>(m.row(begin), m.row(begin) + count * m.cols)};
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double RegionMicros(int threads) {
  std::vector<double> us;
  for (int r = 0; r < 50; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
#pragma omp parallel num_threads(threads)
    {
#pragma omp barrier
    }
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::nth_element(us.begin(), us.begin() + 25, us.end());
  return us[25];
}

}  // namespace dz_bench
