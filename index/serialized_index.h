// The serialized index: the byte form of an index's name, configuration, centroid lists and
// trained flag (schemas/serialized_index.fbs). Written by SerializeIndexTable in a fixed order, so
// an unchanged index always gives the same bytes; read back only after VerifySerializedIndex.
//
// Throws std::invalid_argument, without logging: "Unknown index type" / "Unknown distance metric"
// (writing and reading), "Could not deserialize index config: buffer is empty" / "... is invalid"
// (verification), "Data size must be a multiple of the number of columns" (a matrix), and a
// refusal of values too wide for the format's 32-bit fields. Pure functions over the caller's
// data; any thread may call them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "index/index_records.h"
#include "kernels/kernel_records.h"

namespace ostrik {

namespace schema {
struct IndexTable;
struct IndexConfigTable;
struct QuantizersTable;
struct MatrixTable;
}  // namespace schema

// The bytes of an IndexTable for these fields.
Bytes SerializeIndexTable(const std::string& index_name, const IndexConfig& config, const Quantizers& quantizers,
                          bool is_trained);

// The root table of verified bytes; `bytes` must outlive it. Shorter than 12 bytes, 2^31 bytes or
// more, or refused by the verifier: "... buffer is invalid".
const schema::IndexTable* VerifySerializedIndex(const Bytes& bytes);

// A new IndexIVFFlat from the table (null reads as a table without fields).
std::unique_ptr<IndexConfig> DeserializeIndexConfig(const schema::IndexConfigTable* table);
// Both lists, in order; a missing table or list reads as empty.
Quantizers DeserializeQuantizers(const schema::QuantizersTable* table);
QuantizerMatrix DeserializeMatrix(const schema::MatrixTable* table);

struct SerializedIndex {
  std::string index_name;
  std::unique_ptr<IndexConfig> config;
  Quantizers quantizers;
  bool is_trained = false;
};

// Verifies, then reads name, configuration, quantizers and trained flag, in that order.
SerializedIndex ReadSerializedIndex(const Bytes& bytes);

// Why a configuration and its centroid lists cannot describe a usable index, or "" when they can:
// dimension and n_lists must be non-zero and fit their stored widths, and a trained index must
// have exactly one coarse matrix of n_lists rows by dimension columns whose count is its rows.
std::string CheckIndexShape(const IndexConfig& config, const Quantizers& quantizers, bool is_trained);

}  // namespace ostrik
