// What an operation gave at one instruction-set level, and how two levels'
// outcomes must agree: the same exception with the same message, or results
// of the same shapes whose values differ by no more than rounding scaled to
// the matrix (not at all where both levels run the same code). Shared by
// the level tests and the fuzzer, which run every level the CPU supports in
// one process.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <typeinfo>
#include <vector>

#include "operations.h"
#include "zorvane/core/tensor.h"

namespace zorvane::test {

struct Outcome {
  std::string error;           // the exception's type and message; empty on success
  std::vector<double> values;  // every result, shapes and elements, flattened
};

inline void append(Outcome& out, double v) { out.values.push_back(v); }
inline void append(Outcome& out, std::int64_t v) { out.values.push_back(static_cast<double>(v)); }
inline void append(Outcome& out, bool v) { out.values.push_back(v ? 1.0 : 0.0); }
/// Element `i` of a contiguous row-major result of any dtype, as a double.
inline double element(const Tensor& t, std::int64_t i) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(t.data());
  if (t.dtype() == DType::Int32) {
    std::int32_t v;
    std::memcpy(&v, bytes + 4 * i, sizeof v);
    return v;
  }
  if (t.dtype() == DType::Int64) {
    std::int64_t v;
    std::memcpy(&v, bytes + 8 * i, sizeof v);
    return static_cast<double>(v);
  }
  return t.data()[i];
}
inline void append(Outcome& out, const Tensor& t) {
  append(out, t.ndim());
  for (std::int64_t extent : t.shape()) append(out, extent);
  for (std::int64_t i = 0; i < t.numel(); ++i) append(out, element(t, i));
}
template <class T>
void append(Outcome& out, const std::vector<T>& items) {
  for (const T& item : items) append(out, item);
}
template <class First, class... Rest>
void append(Outcome& out, const First& first, const Rest&... rest) {
  append(out, first);
  (append(out, rest), ...);
}
inline void append(Outcome& out, const linalg::EigenResult& r) { append(out, r.values, r.vectors); }
inline void append(Outcome& out, const linalg::LUResult& r) {
  append(out, r.L, r.U, r.P, r.Q, r.rank, r.determinant, r.singular);
}
inline void append(Outcome& out, const linalg::batched::LUResult& r) {
  append(out, r.L, r.U, r.P, r.Q, r.rank, r.determinant, r.singular);
}
inline void append(Outcome& out, const linalg::QRResult& r) { append(out, r.Q, r.R); }
inline void append(Outcome& out, const linalg::SVDResult& r) { append(out, r.U, r.S, r.Vt); }
inline void append(Outcome& out, const linalg::LstsqResult& r) { append(out, r.x, r.rank); }
inline void append(Outcome& out, const linalg::EigResult& r) {
  append(out, r.values_real, r.values_imag, r.vectors_real, r.vectors_imag);
}
inline void append(Outcome& out, const linalg::LMResult& r) {
  append(out, r.x, r.residual, r.cost, r.iterations, static_cast<std::int64_t>(r.status));
}

/// The outcome of `call`: its result, or the exception it threw.
template <class Call>
Outcome outcome_of(Call&& call) {
  Outcome out;
  try {
    append(out, call());
  } catch (const std::exception& e) {
    out.error = std::string(typeid(e).name()) + ": " + e.what();
  }
  return out;
}

/// How closely an operation's outcomes agree from one level to another.
enum class Agreement {
  Bits,      // both levels' tables point at the same code (operations_of)
  Rounding,  // the same exception, or values within rounding
  // The Levenberg–Marquardt solver: the same exception, or success at both.
  // Rounding may end the iteration a step sooner or later at one level,
  // which moves the point by up to the solver's own tolerances.
  Outcome,
};

/// Whether tables `a` and `b` hold the same function for the operation `field`.
inline bool same_code(const linalg::dispatch::Operations& a, const linalg::dispatch::Operations& b,
                      const std::string& field) {
#define ZORVANE_SAME_CODE(result, name, function, parameters, arguments) \
  if (field == #name) return a.name == b.name;
  ZORVANE_LINALG_OPERATIONS(ZORVANE_SAME_CODE)
#undef ZORVANE_SAME_CODE
  return false;
}

/// How `operation`'s outcomes with the table `level` must agree with those
/// with the table `baseline`.
inline Agreement agreement_of(const std::string& operation,
                              const linalg::dispatch::Operations& baseline,
                              const linalg::dispatch::Operations& level) {
  if (same_code(baseline, level, operation)) return Agreement::Bits;
  return operation == "levenberg_marquardt" ? Agreement::Outcome : Agreement::Rounding;
}

/// Largest finite magnitude among `values`, at least 1.
inline double magnitude(const std::vector<double>& values) {
  double m = 1.0;
  for (double v : values) {
    if (std::isfinite(v)) m = std::max(m, std::abs(v));
  }
  return m;
}

/// Where `level` departs from `baseline`, or "" where they agree. Within
/// rounding, values may differ by 256 · n · ε times the larger of the
/// input's and the results' magnitudes, and non-finite values must be alike
/// (NaN with NaN, or the same infinity).
inline std::string disagreement(const Outcome& baseline, const Outcome& level,
                                Agreement agreement, std::int64_t n, double input_magnitude) {
  if (baseline.error != level.error) {
    return "baseline: [" + baseline.error + "] level: [" + level.error + "]";
  }
  if (agreement == Agreement::Outcome) return "";
  if (baseline.values.size() != level.values.size()) return "different result sizes";
  const bool exact = agreement == Agreement::Bits;
  const double tolerance = 256.0 * static_cast<double>(std::max<std::int64_t>(n, 1)) *
                           std::numeric_limits<double>::epsilon() *
                           std::max(input_magnitude, magnitude(baseline.values));
  for (std::size_t i = 0; i < baseline.values.size(); ++i) {
    const double a = baseline.values[i], b = level.values[i];
    const bool same = exact ? std::memcmp(&a, &b, sizeof a) == 0
                            : (std::isnan(a) && std::isnan(b)) || a == b ||
                                  (std::isfinite(a) && std::isfinite(b) &&
                                   std::abs(a - b) <= tolerance);
    if (!same) {
      char text[160];
      std::snprintf(text, sizeof text, "value %zu: baseline %.17g, level %.17g (tolerance %.3g)",
                    i, a, b, tolerance);
      return text;
    }
  }
  return "";
}

}  // namespace zorvane::test
