#include "bench/index/stage_times.h"

#include <chrono>
#include <string>
#include <utility>

#include "filters/pre_filtering.h"
#include "kernels/candidate_search.h"
#include "kernels/encoding.h"
#include "kernels/kmeans_seeding.h"
#include "kernels/kmeans_training.h"
#include "kernels/probe_selection.h"
#include "token_store/token_index.h"

// The mangled names of the wrapped entry points; CMakeLists.txt passes the same list to the linker
// as --wrap options. A renamed or re-declared function fails the link here instead of silently
// dropping out of the breakdown.
#define DZ_SYM_PREFILTER \
  _ZN22ostrik_encrypted_index8internal7filters12PreFilteringERNS0_11token_store10TokenIndexERKSt6vectorIN6ostrik15QuantizerMatrixESaIS7_EESB_RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERNS6_6LoggerE
#define DZ_SYM_PROBES \
  _ZN22ostrik_encrypted_index8internal7kernels12SelectProbesERKN6ostrik11FloatMatrixERKSt6vectorINS2_15QuantizerMatrixESaIS7_EEmNS2_14DistanceMetricEf
#define DZ_SYM_FETCH _ZN22ostrik_encrypted_index8internal11token_store10TokenIndex13GetTokenItemsERKSt6vectorIjSaIjEE
#define DZ_SYM_FETCH_INTO \
  _ZN22ostrik_encrypted_index8internal11token_store10TokenIndex13GetTokenItemsERKSt6vectorIjSaIjEERN6ostrik11ItemRecordsE
#define DZ_SYM_SEARCH \
  _ZN22ostrik_encrypted_index8internal7kernels20SearchCandidatesViewERKN6ostrik11ItemRecordsERKNS2_13FloatRowsViewERKNS2_14ProbeSelectionERKNS2_11FloatMatrixEjNS2_14DistanceMetricERKSt6vectorIiSaIiEE
#define DZ_SYM_KMEANS \
  _ZN22ostrik_encrypted_index8internal7kernels14TrainQuantizerERKN6ostrik11FloatMatrixERKNS2_12KMeansParamsENS2_14DistanceMetricE
#define DZ_SYM_SEEDING _ZN22ostrik_encrypted_index8internal7kernels27KMeansPlusPlusInitEuclideanERKN4arma3MatIfEEmm
#define DZ_SYM_ENCODE \
  _ZN22ostrik_encrypted_index8internal7kernels13EncodeVectorsERKN6ostrik11FloatMatrixERKSt6vectorINS2_15QuantizerMatrixESaIS7_EENS2_14DistanceMetricE
#define DZ_SYM_ADD _ZN22ostrik_encrypted_index8internal11token_store10TokenIndex8AddItemsERKNS1_14TokenItemBatchE
#define DZ_SYM_STREAM \
  _ZN22ostrik_encrypted_index8internal11token_store10TokenIndex16StreamTokenItemsERKSt6vectorIjSaIjEERN6ostrik10ItemStreamE

#define DZ_CAT_(a, b) a##b
#define DZ_CAT(a, b) DZ_CAT_(a, b)
#define DZ_REAL(sym) DZ_CAT(__real_, sym)
#define DZ_WRAP(sym) DZ_CAT(__wrap_, sym)

namespace {

using Clock = std::chrono::steady_clock;
namespace filters = ostrik_encrypted_index::internal::filters;
using ostrik_encrypted_index::internal::token_store::TokenIndex;
using ostrik::ItemStream;
using ostrik_encrypted_index::internal::token_store::TokenItemBatch;

dz_bench::StageTimes g_stages;
std::vector<ostrik::QuantizerMatrix>* g_pin = nullptr;

// Adds the duration of the call to `stage`, also when it throws.
template <typename F>
decltype(auto) Timed(dz_bench::Stage stage, F&& f) {
  struct Add {
    dz_bench::Stage stage;
    Clock::time_point start = Clock::now();
    ~Add() {
      g_stages.seconds[stage] += std::chrono::duration<double>(Clock::now() - start).count();
      ++g_stages.calls[stage];
    }
  } add{stage};
  return f();
}

}  // namespace

// A member function is called as a free one with the object first (and, for a class returned by
// value, the result's address before it in both cases), so the wrappers take the engine as their
// first parameter.
extern "C" {

filters::PreFilterResult DZ_REAL(DZ_SYM_PREFILTER)(TokenIndex&, const std::vector<ostrik::QuantizerMatrix>&,
                                                   const std::vector<ostrik::QuantizerMatrix>&, const std::string&,
                                                   ostrik::Logger&);
filters::PreFilterResult DZ_WRAP(DZ_SYM_PREFILTER)(TokenIndex& engine,
                                                   const std::vector<ostrik::QuantizerMatrix>& coarse,
                                                   const std::vector<ostrik::QuantizerMatrix>& secondary,
                                                   const std::string& text, ostrik::Logger& logger) {
  return Timed(dz_bench::kPreFilter, [&] { return DZ_REAL(DZ_SYM_PREFILTER)(engine, coarse, secondary, text, logger); });
}

ostrik::ProbeSelection DZ_REAL(DZ_SYM_PROBES)(const ostrik::FloatMatrix&, const std::vector<ostrik::QuantizerMatrix>&,
                                              uint64_t, ostrik::DistanceMetric, float);
ostrik::ProbeSelection DZ_WRAP(DZ_SYM_PROBES)(const ostrik::FloatMatrix& queries,
                                              const std::vector<ostrik::QuantizerMatrix>& quantizers, uint64_t n_probes,
                                              ostrik::DistanceMetric metric, float greedy) {
  return Timed(dz_bench::kProbes, [&] { return DZ_REAL(DZ_SYM_PROBES)(queries, quantizers, n_probes, metric, greedy); });
}

ostrik::ItemRecords DZ_REAL(DZ_SYM_FETCH)(TokenIndex*, const std::vector<uint32_t>&);
ostrik::ItemRecords DZ_WRAP(DZ_SYM_FETCH)(TokenIndex* engine, const std::vector<uint32_t>& tokens) {
  return Timed(dz_bench::kFetch, [&] { return DZ_REAL(DZ_SYM_FETCH)(engine, tokens); });
}

// The fetch into the caller's records (the query road's); a call of one overload from the other
// inside the engine is not wrapped, so nothing is counted twice.
void DZ_REAL(DZ_SYM_FETCH_INTO)(TokenIndex*, const std::vector<uint32_t>&, ostrik::ItemRecords&);
void DZ_WRAP(DZ_SYM_FETCH_INTO)(TokenIndex* engine, const std::vector<uint32_t>& tokens, ostrik::ItemRecords& out) {
  Timed(dz_bench::kFetch, [&] { DZ_REAL(DZ_SYM_FETCH_INTO)(engine, tokens, out); });
}

ostrik::QueryResults DZ_REAL(DZ_SYM_SEARCH)(const ostrik::ItemRecords&, const ostrik::FloatRowsView&,
                                            const ostrik::ProbeSelection&, const ostrik::FloatMatrix&, uint32_t,
                                            ostrik::DistanceMetric, const std::vector<int32_t>&);
ostrik::QueryResults DZ_WRAP(DZ_SYM_SEARCH)(const ostrik::ItemRecords& candidates, const ostrik::FloatRowsView& vectors,
                                            const ostrik::ProbeSelection& probes, const ostrik::FloatMatrix& queries,
                                            uint32_t top_k, ostrik::DistanceMetric metric,
                                            const std::vector<int32_t>& include) {
  return Timed(dz_bench::kSearch, [&] {
    return DZ_REAL(DZ_SYM_SEARCH)(candidates, vectors, probes, queries, top_k, metric, include);
  });
}

std::vector<ostrik::QuantizerMatrix> DZ_REAL(DZ_SYM_KMEANS)(const ostrik::FloatMatrix&, const ostrik::KMeansParams&,
                                                            ostrik::DistanceMetric);
std::vector<ostrik::QuantizerMatrix> DZ_WRAP(DZ_SYM_KMEANS)(const ostrik::FloatMatrix& vectors,
                                                            const ostrik::KMeansParams& params,
                                                            ostrik::DistanceMetric metric) {
  std::vector<ostrik::QuantizerMatrix> trained =
      Timed(dz_bench::kKMeans, [&] { return DZ_REAL(DZ_SYM_KMEANS)(vectors, params, metric); });
  if (g_pin == nullptr) return trained;
  if (g_pin->empty()) *g_pin = trained;
  return *g_pin;
}

arma::fmat DZ_REAL(DZ_SYM_SEEDING)(const arma::fmat&, uint64_t, uint64_t);
arma::fmat DZ_WRAP(DZ_SYM_SEEDING)(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  return Timed(dz_bench::kSeeding, [&] { return DZ_REAL(DZ_SYM_SEEDING)(points, k, n_init); });
}

ostrik::CodeMatrix DZ_REAL(DZ_SYM_ENCODE)(const ostrik::FloatMatrix&, const std::vector<ostrik::QuantizerMatrix>&,
                                          ostrik::DistanceMetric);
ostrik::CodeMatrix DZ_WRAP(DZ_SYM_ENCODE)(const ostrik::FloatMatrix& vectors,
                                          const std::vector<ostrik::QuantizerMatrix>& coarse,
                                          ostrik::DistanceMetric metric) {
  return Timed(dz_bench::kEncode, [&] { return DZ_REAL(DZ_SYM_ENCODE)(vectors, coarse, metric); });
}

void DZ_REAL(DZ_SYM_ADD)(TokenIndex*, const TokenItemBatch&);
void DZ_WRAP(DZ_SYM_ADD)(TokenIndex* engine, const TokenItemBatch& batch) {
  Timed(dz_bench::kAdd, [&] { DZ_REAL(DZ_SYM_ADD)(engine, batch); });
}

// The fetch whose items a search takes where they are opened: the search runs inside it.
void DZ_REAL(DZ_SYM_STREAM)(TokenIndex*, const std::vector<uint32_t>&, ItemStream&);
void DZ_WRAP(DZ_SYM_STREAM)(TokenIndex* engine, const std::vector<uint32_t>& tokens, ItemStream& stream) {
  Timed(dz_bench::kFetchSearch, [&] { DZ_REAL(DZ_SYM_STREAM)(engine, tokens, stream); });
}

}  // extern "C"

namespace dz_bench {

const char* StageName(Stage stage) {
  static constexpr const char* kNames[kStageCount] = {"prefilter", "probes", "fetch",  "search",      "kmeans",
                                                      "seeding",   "encode", "add",    "fetch_search"};
  return kNames[stage];
}

StageTimes& Stages() { return g_stages; }

void ResetStages() { g_stages = StageTimes{}; }

void PinCentroids(std::vector<ostrik::QuantizerMatrix>* pin) { g_pin = pin; }

}  // namespace dz_bench
