// Records, metric dispatch and GPU variants shared by the kernel entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/logger.h"
#include "kernels/candidate_search.h"
#include "kernels/encoding.h"
#include "kernels/kmeans_training.h"
#include "kernels/probe_selection.h"
#include "kernel_test_util.h"

namespace ok = ostrik_encrypted_index::internal::kernels;
using kernel_test::Quantizer;
using kernel_test::Rows;

namespace {

constexpr const char* kGpuText =
    "CUDA support is required, but the library was built without CUDA. Please build and run the "
    "program with CUDA support (e.g., ./build.sh -cuda).";

template <class Fn>
std::string RuntimeErrorText(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

TEST(QuantizerMatrix, RowsFromValuesAndColumns) {
  const ostrik::QuantizerMatrix q(2, std::vector<float>(6, 1.0f), 3);
  EXPECT_EQ(q.count, 2);
  EXPECT_EQ(q.rows, 2u);
  EXPECT_EQ(q.cols, 3u);
  for (uint64_t cols : {3u, 0u}) {
    try {
      ostrik::QuantizerMatrix(2, std::vector<float>(7, 1.0f), cols);
      ADD_FAILURE() << "cols " << cols;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Data size must be a multiple of the number of columns");
    }
  }
}

TEST(QueryResults, ConstructionSizesEveryField) {
  const ostrik::QueryResults r(3, 2);
  EXPECT_EQ(r.ids.rows, 3u);
  EXPECT_EQ(r.ids.cols, 2u);
  EXPECT_EQ(r.ids.data, std::vector<std::string>(6));
  EXPECT_EQ(r.distances.data, std::vector<float>(6, 0.0f));
  EXPECT_EQ(r.result_counts, std::vector<int32_t>(3, 0));
  EXPECT_EQ(r.metadata.size(), 3u);
}

TEST(EntryPoints, GpuVariantsAlwaysRefuse) {
  const auto bad = static_cast<ostrik::DistanceMetric>(3);
  const ostrik::FloatMatrix none;
  EXPECT_EQ(RuntimeErrorText([&] { ok::TrainQuantizerGpu(none, {}, bad); }), kGpuText);
  EXPECT_EQ(RuntimeErrorText([&] { ok::EncodeVectorsGpu(none, {}, ostrik::Cosine); }), kGpuText);
  EXPECT_EQ(RuntimeErrorText([&] { ok::SelectProbesGpu(none, {}, 1, bad, 0.0f); }), kGpuText);
}

// An unsupported metric is refused before anything else is looked at; only the encoding logs it.
TEST(EntryPoints, UnsupportedMetricIsRefusedFirst) {
  const auto path = std::filesystem::temp_directory_path() / "kernels_metric_test.log";
  std::filesystem::remove(path);
  ostrik::Logger::instance().configure(ostrik::INFO, true, path.string());

  const auto bad = static_cast<ostrik::DistanceMetric>(3);
  const ostrik::FloatMatrix none;  // no rows: every other check would fail
  const ostrik::KMeansParams params;  // 0 clusters
  EXPECT_EQ(RuntimeErrorText([&] { ok::TrainQuantizer(none, params, bad); }), "Unsupported distance metric.");
  EXPECT_EQ(RuntimeErrorText([&] { ok::SelectProbes(none, {}, 0, bad, 0.0f); }), "Unsupported distance metric.");
  EXPECT_EQ(RuntimeErrorText([&] { ok::EncodeVectors(none, {}, bad); }), "Unsupported distance metric.");

  // The search refuses only when it has something to search.
  ostrik::ItemRecords items;
  items.item_ids = {"a"};
  items.token_indices = {0, 1};
  items.metadata = {""};
  ostrik::ProbeSelection probes;
  probes.n_queries = 1;
  probes.positions = {1, 1, {0}};
  const auto vec = Rows(1, 1, {1.0f});
  EXPECT_EQ(RuntimeErrorText([&] { ok::SearchCandidates(items, vec, probes, vec, 1, bad, {}); }),
            "Unsupported distance metric.");

  ostrik::Logger::instance().configure(ostrik::ERROR, false, "");
  std::ifstream in(path);
  std::string log((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(log.find("[ERROR] Unsupported distance metric.\n"), std::string::npos) << log;
  // One line in all: training, probe selection and the search throw without logging.
  EXPECT_EQ(log.find("Unsupported distance metric."), log.rfind("Unsupported distance metric.")) << log;
  std::filesystem::remove(path);
}

}  // namespace
