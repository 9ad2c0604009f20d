// The batched operations: every slice equals the single-matrix result bit for
// bit over shapes, strides and random batches (the norm's for each kind); the
// batch index of the first failing matrix; singularity as data; solve's
// broadcasting. Their argument checks are rows of argument_checks_test.cpp.
#include <cstring>
#include <functional>
#include <vector>

#include "operations.h"
#include "test_util.h"
#include "zorvane/linalg/batched.h"

namespace zorvane {
namespace {

using Eigen::MatrixXd;
using test::kCpu;
using test::random_matrix;
using test::tensor_from;
namespace batched = linalg::batched;

/// The values of one matrix's results, output by output, as doubles.
using Values = std::vector<std::vector<double>>;

std::vector<double> values_of(const Tensor& t) {
  std::vector<double> v(static_cast<std::size_t>(t.numel()));
  if (t.ndim() == 0) {
    if (t.dtype() == DType::Float64) v[0] = *t.data();
    return v;
  }
  const MatrixXd m = t.ndim() == 1 ? MatrixXd(test::vector_of(t)) : test::matrix_of(t);
  const auto rows = m.rows();
  for (Eigen::Index i = 0; i < rows; ++i) {
    for (Eigen::Index j = 0; j < m.cols(); ++j)
      v[static_cast<std::size_t>(i * m.cols() + j)] = m(i, j);
  }
  return v;
}

/// Element `b` of a stacked scalar tensor, whatever its dtype.
double scalar_at(const Tensor& t, std::int64_t b) {
  if (t.dtype() == DType::Int64)
    return static_cast<double>(reinterpret_cast<const std::int64_t*>(t.data())[b]);
  if (t.dtype() == DType::Int32) return reinterpret_cast<const std::int32_t*>(t.data())[b];
  return t.data()[b];
}

/// Matrix `b` of each stacked output (contiguous, as results are).
Values slice_of(const std::vector<Tensor>& outputs, std::int64_t count, std::int64_t b) {
  Values slices;
  for (const Tensor& t : outputs) {
    const std::int64_t size = count == 0 ? 0 : t.numel() / count;
    std::vector<double> v(static_cast<std::size_t>(size));
    for (std::int64_t e = 0; e < size; ++e) {
      v[static_cast<std::size_t>(e)] =
          t.ndim() == 0 || size == 1 ? scalar_at(t, b * size + e) : t.data()[b * size + e];
    }
    slices.push_back(std::move(v));
  }
  return slices;
}

enum class Input { General, Symmetric, PositiveDefinite };

struct Operation {
  const char* name;
  Input input;
  bool square;
  std::function<std::vector<Tensor>(const Tensor&)> batched;
  std::function<Values(const Tensor&)> single;
};

// Test names and failures show an operation by its name.
void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

std::vector<Tensor> pack(std::initializer_list<Tensor> ts) { return std::vector<Tensor>(ts); }
Values unpack(std::initializer_list<Tensor> ts) {
  Values v;
  for (const Tensor& t : ts) v.push_back(values_of(t));
  return v;
}

/// The right-hand side of solve's table entry: two columns of ones.
Tensor rhs_of(const Tensor& A) {
  return tensor_from(MatrixXd(MatrixXd::Ones(A.shape()[A.ndim() - 1], 2)));
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> table = {
      {"eig_sym", Input::Symmetric, true,
       [](const Tensor& A) {
         auto r = batched::eig_sym(A);
         return pack({r.values, r.vectors});
       },
       [](const Tensor& A) {
         auto r = linalg::eig_sym(A);
         return unpack({r.values, r.vectors});
       }},
      {"matrix_sqrt", Input::PositiveDefinite, true,
       [](const Tensor& A) { return pack({batched::matrix_sqrt(A)}); },
       [](const Tensor& A) { return unpack({linalg::matrix_sqrt(A)}); }},
      {"matrix_exp", Input::Symmetric, true,
       [](const Tensor& A) { return pack({batched::matrix_exp(A)}); },
       [](const Tensor& A) { return unpack({linalg::matrix_exp(A)}); }},
      {"matrix_log", Input::PositiveDefinite, true,
       [](const Tensor& A) { return pack({batched::matrix_log(A)}); },
       [](const Tensor& A) { return unpack({linalg::matrix_log(A)}); }},
      {"matrix_sign", Input::Symmetric, true,
       [](const Tensor& A) { return pack({batched::matrix_sign(A)}); },
       [](const Tensor& A) { return unpack({linalg::matrix_sign(A)}); }},
      {"cholesky", Input::PositiveDefinite, true,
       [](const Tensor& A) { return pack({batched::cholesky(A)}); },
       [](const Tensor& A) { return unpack({linalg::cholesky(A)}); }},
      {"svd", Input::General, false,
       [](const Tensor& A) {
         auto r = batched::svd(A);
         return pack({r.U, r.S, r.Vt});
       },
       [](const Tensor& A) {
         auto r = linalg::svd(A);
         return unpack({r.U, r.S, r.Vt});
       }},
      {"solve", Input::PositiveDefinite, true,
       [](const Tensor& A) {
         return pack({batched::solve(A, rhs_of(A))});
       },
       [](const Tensor& A) { return unpack({linalg::solve(A, rhs_of(A))}); }},
      {"qr", Input::General, false,
       [](const Tensor& A) {
         auto r = batched::qr(A);
         return pack({r.Q, r.R});
       },
       [](const Tensor& A) {
         auto r = linalg::qr(A);
         return unpack({r.Q, r.R});
       }},
      {"lu", Input::General, true,
       [](const Tensor& A) {
         auto r = batched::lu(A);
         return pack({r.L, r.U, r.P, r.Q, r.rank, r.determinant, r.singular});
       },
       [](const Tensor& A) {
         auto r = linalg::lu(A);
         Values v = unpack({r.L, r.U, r.P, r.Q});
         v.push_back({static_cast<double>(r.rank)});
         v.push_back({r.determinant});
         v.push_back({r.singular ? 1.0 : 0.0});
         return v;
       }},
      {"eig", Input::General, true,
       [](const Tensor& A) {
         auto r = batched::eig(A);
         return pack({r.values_real, r.values_imag, r.vectors_real, r.vectors_imag});
       },
       [](const Tensor& A) {
         auto r = linalg::eig(A);
         return unpack({r.values_real, r.values_imag, r.vectors_real, r.vectors_imag});
       }},
      {"trace", Input::General, true, [](const Tensor& A) { return pack({batched::trace(A)}); },
       [](const Tensor& A) { return Values{{linalg::trace(A)}}; }},
      {"det", Input::General, true, [](const Tensor& A) { return pack({batched::det(A)}); },
       [](const Tensor& A) { return Values{{linalg::det(A)}}; }},
      {"inv", Input::PositiveDefinite, true,
       [](const Tensor& A) { return pack({batched::inv(A)}); },
       [](const Tensor& A) { return unpack({linalg::inv(A)}); }},
      {"pinv", Input::General, false, [](const Tensor& A) { return pack({batched::pinv(A)}); },
       [](const Tensor& A) { return unpack({linalg::pinv(A)}); }},
      {"norm", Input::General, false,
       [](const Tensor& A) {
         std::vector<Tensor> norms;
         for (int kind = 0; kind < 4; ++kind) {
           norms.push_back(batched::norm(A, linalg::NormKind{kind}));
         }
         return norms;
       },
       [](const Tensor& A) {
         Values norms;
         for (int kind = 0; kind < 4; ++kind) {
           norms.push_back({linalg::norm(A, linalg::NormKind{kind})});
         }
         return norms;
       }},
  };
  return table;
}

MatrixXd random_input(Input kind, Eigen::Index m, Eigen::Index n, unsigned seed) {
  if (kind == Input::Symmetric) return test::random_symmetric(n, seed);
  if (kind == Input::PositiveDefinite) return test::random_spd(n, seed);
  return random_matrix(m, n, seed);
}

enum class Layout { Contiguous, Transposed, Reversed, Gapped };

/// A stacked tensor of `matrices` in one of four layouts; unused storage is
/// NaN so that reading a wrong element shows.
Tensor stack(const std::vector<std::int64_t>& lead, const std::vector<MatrixXd>& matrices,
             Eigen::Index m, Eigen::Index n, Layout layout) {
  std::vector<std::int64_t> extents = lead;
  extents.push_back(m);
  extents.push_back(n);
  const std::size_t nd = extents.size();
  std::vector<std::int64_t> strides(nd);
  std::int64_t numel = 1;
  for (std::size_t d = nd; d-- > 0;) {
    strides[d] = numel;
    numel *= extents[d];
  }
  std::int64_t offset = 0, size = numel;
  if (layout == Layout::Transposed) {
    strides[nd - 2] = 1;
    strides[nd - 1] = m;
  } else if (layout == Layout::Reversed) {
    for (auto& s : strides) s = -s;
    offset = numel > 0 ? numel - 1 : 0;
  } else if (layout == Layout::Gapped) {
    for (auto& s : strides) s *= 2;
    offset = 1;
    size = 2 * numel + 1;
  }
  Tensor buffer(Shape{static_cast<long>(std::max<std::int64_t>(size, 1))}, DType::Float64, kCpu);
  std::fill_n(buffer.data(), buffer.numel(), test::kNaN);
  for (std::size_t b = 0; b < matrices.size(); ++b) {
    std::int64_t base = offset, rest = static_cast<std::int64_t>(b);
    for (std::size_t d = lead.size(); d-- > 0;) {
      base += (rest % lead[d]) * strides[d];
      rest /= lead[d];
    }
    for (Eigen::Index i = 0; i < m; ++i) {
      for (Eigen::Index j = 0; j < n; ++j) {
        buffer.data()[base + i * strides[nd - 2] + j * strides[nd - 1]] = matrices[b](i, j);
      }
    }
  }
  return buffer.as_strided(Shape(extents.data(), nd), Strides(strides.data(), nd), offset);
}

class BatchedSlices : public ::testing::TestWithParam<Operation> {};

TEST_P(BatchedSlices, EqualTheSingleMatrixResultsBitForBit) {
  const Operation& op = GetParam();
  const std::vector<std::vector<std::int64_t>> leads = {{}, {3}, {2, 3}, {2, 1, 2}, {0}, {2, 0}};
  std::vector<std::pair<Eigen::Index, Eigen::Index>> sizes;
  for (Eigen::Index n : {0, 1, 2, 3, 4, 7}) sizes.emplace_back(n, n);
  if (!op.square) sizes.insert(sizes.end(), {{5, 3}, {3, 5}, {0, 2}});
  unsigned seed = 1;
  for (const auto& lead : leads) {
    for (const auto& [m, n] : sizes) {
      for (Layout layout :
           {Layout::Contiguous, Layout::Transposed, Layout::Reversed, Layout::Gapped}) {
        std::int64_t count = 1;
        for (std::int64_t e : lead) count *= e;
        std::vector<MatrixXd> matrices;
        for (std::int64_t b = 0; b < count; ++b)
          matrices.push_back(random_input(op.input, m, n, seed++));
        SCOPED_TRACE(testing::Message()
                     << op.name << " lead dims " << lead.size() << " count " << count << " m " << m
                     << " n " << n << " layout " << static_cast<int>(layout));
        const std::vector<Tensor> outputs = op.batched(stack(lead, matrices, m, n, layout));
        for (const Tensor& t : outputs) {
          ASSERT_GE(t.ndim(), static_cast<std::int64_t>(lead.size()));
          for (std::size_t d = 0; d < lead.size(); ++d) ASSERT_EQ(t.shape()[d], lead[d]);
        }
        for (std::int64_t b = 0; b < count; ++b) {
          const Values expected = op.single(tensor_from(matrices[static_cast<std::size_t>(b)]));
          const Values actual = slice_of(outputs, count, b);
          ASSERT_EQ(actual.size(), expected.size());
          for (std::size_t k = 0; k < expected.size(); ++k) {
            ASSERT_EQ(actual[k].size(), expected[k].size()) << "output " << k;
            // memcmp may not see the null data of an empty vector.
            EXPECT_TRUE(expected[k].empty() ||
                        std::memcmp(actual[k].data(), expected[k].data(),
                                    expected[k].size() * sizeof(double)) == 0)
                << "output " << k << " of matrix " << b;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, BatchedSlices, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return std::string(info.param.name); });

// Every batched operation the library exports has its row in the slice table.
TEST(BatchedSlices, CoverEveryBatchedOperationOfTheList) {
  const auto has_row = [](const std::string& field) {
    if (field.rfind("batched_", 0) != 0) return true;
    for (const Operation& op : operations()) {
      if (field == std::string("batched_") + op.name) return true;
    }
    return false;
  };
#define ZORVANE_EXPECT_SLICES(result, field, ...) \
  EXPECT_TRUE(has_row(#field)) << "no slice row for " #field;
  ZORVANE_LINALG_OPERATIONS(ZORVANE_EXPECT_SLICES)
#undef ZORVANE_EXPECT_SLICES
}

// ---- numerical failures carry the index of the first failing matrix -------

/// A (2, 3) batch of `good` with `bad` at (1, 0) and (1, 2), and a (4) batch
/// with `bad` at (3).
Tensor batch_with(const MatrixXd& good, const MatrixXd& bad, bool one_dimension) {
  std::vector<MatrixXd> ms(one_dimension ? 4 : 6, good);
  if (one_dimension) {
    ms[3] = bad;
    return stack({4}, ms, good.rows(), good.cols(), Layout::Transposed);
  }
  ms[3] = bad;
  ms[5] = bad;
  return stack({2, 3}, ms, good.rows(), good.cols(), Layout::Gapped);
}

TEST(BatchedFailures, NameTheFirstFailingMatrixWithTheSingleMatrixMessage) {
  const MatrixXd spd = random_input(Input::PositiveDefinite, 3, 3, 7);
  const MatrixXd nan = MatrixXd::Constant(3, 3, test::kNaN);
  MatrixXd asymmetric = spd;
  asymmetric(0, 2) += 1.0;
  struct Case {
    std::function<void(const Tensor&)> call;
    MatrixXd bad;
    bool runtime;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](const Tensor& A) { batched::cholesky(A); }, -spd, true,
       "zorvane: cholesky failed -- matrix is not positive-definite"},
      {[](const Tensor& A) { batched::cholesky(A); }, asymmetric, false,
       "zorvane: cholesky requires a symmetric matrix"},
      {[](const Tensor& A) { batched::eig_sym(A); }, asymmetric, false,
       "zorvane: eig_sym requires a symmetric matrix"},
      {[](const Tensor& A) { batched::matrix_sqrt(A); }, -spd, false,
       "zorvane: matrix_sqrt requires a positive-semidefinite matrix"},
      {[](const Tensor& A) { batched::matrix_log(A); }, MatrixXd(-MatrixXd::Identity(3, 3)), false,
       "zorvane: matrix_log requires a positive-definite matrix (all eigenvalues > 0); smallest "
       "eigenvalue is -1.000000"},
      {[](const Tensor& A) { batched::matrix_exp(A); }, MatrixXd(MatrixXd::Identity(3, 3) * 800.0),
       true, "zorvane: matrix_exp overflow -- exp(lambda_max) is not representable in float64"},
      {[](const Tensor& A) { batched::svd(A); }, nan, true, "zorvane: svd failed to converge"},
      {[](const Tensor& A) { batched::eig(A); }, nan, true, "zorvane: eig failed to converge"},
      {[](const Tensor& A) { batched::solve(A, test::vector_from({1.0, 2.0, 3.0})); },
       MatrixXd(MatrixXd::Zero(3, 3)), true,
       "zorvane: solve failed -- matrix A is singular or numerically singular"},
      {[](const Tensor& A) { batched::inv(A); }, MatrixXd(MatrixXd::Ones(3, 3)), true,
       "zorvane: inv failed -- matrix A is singular or numerically singular"},
      {[](const Tensor& A) { batched::pinv(A); }, nan, true,
       "zorvane: pinv failed -- SVD did not converge"},
      {[](const Tensor& A) { batched::norm(A, linalg::NormKind::Spectral); }, nan, true,
       "zorvane: norm (spectral) failed -- SVD did not converge"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // A plain matrix fails with the single-matrix message alone.
    if (c.runtime) {
      EXPECT_THROW_MSG(c.call(tensor_from(c.bad)), std::runtime_error, c.message);
    } else {
      EXPECT_THROW_MSG(c.call(tensor_from(c.bad)), std::invalid_argument, c.message);
    }
    for (const bool one_dimension : {false, true}) {
      const Tensor A = batch_with(spd, c.bad, one_dimension);
      const std::string message =
          c.message + (one_dimension ? " (at batch index (3))" : " (at batch index (1, 0))");
      if (c.runtime) {
        EXPECT_THROW_MSG(c.call(A), std::runtime_error, message);
      } else {
        EXPECT_THROW_MSG(c.call(A), std::invalid_argument, message);
      }
    }
  }
}

TEST(BatchedLU, ReportsSingularityPerMatrixAsData) {
  const MatrixXd good = random_input(Input::PositiveDefinite, 3, 3, 3);
  const batched::LUResult r = batched::lu(batch_with(good, MatrixXd::Zero(3, 3), true));
  ASSERT_EQ(r.singular.dtype(), DType::Int32);
  ASSERT_EQ(r.rank.dtype(), DType::Int64);
  for (std::int64_t b = 0; b < 4; ++b) {
    EXPECT_EQ(scalar_at(r.singular, b), b == 3 ? 1.0 : 0.0);
    EXPECT_EQ(scalar_at(r.rank, b), b == 3 ? 0.0 : 3.0);
  }
  EXPECT_EQ(r.determinant.data()[3], 0.0);
}

// ---- solve: vector right-hand sides and broadcasting ----

TEST(BatchedSolve, BroadcastsLeadingDimensionsAsNumPyDoes) {
  std::vector<MatrixXd> as, bs;
  for (unsigned s = 0; s < 3; ++s)
    as.push_back(random_input(Input::PositiveDefinite, 3, 3, 40 + s));
  for (unsigned s = 0; s < 2; ++s) bs.push_back(random_matrix(3, 2, 50 + s));
  const Tensor A = stack({3}, as, 3, 3, Layout::Reversed);
  const Tensor X = batched::solve(A, stack({2, 1}, bs, 3, 2, Layout::Transposed));
  ASSERT_EQ(X.ndim(), 4);
  EXPECT_EQ(X.shape()[0], 2);
  EXPECT_EQ(X.shape()[1], 3);
  const Tensor x = batched::solve(A, test::vector_from({1.0, -2.0, 0.5}));
  ASSERT_EQ(x.ndim(), 2);
  for (std::int64_t i = 0; i < 2; ++i) {
    for (std::int64_t j = 0; j < 3; ++j) {
      const std::vector<double> expected =
          values_of(linalg::solve(tensor_from(as[j]), tensor_from(bs[i])));
      EXPECT_EQ(0, std::memcmp(X.data() + (i * 3 + j) * 6, expected.data(), 6 * sizeof(double)));
    }
  }
  for (std::int64_t j = 0; j < 3; ++j) {
    const std::vector<double> expected =
        values_of(linalg::solve(tensor_from(as[j]), test::vector_from({1.0, -2.0, 0.5})));
    EXPECT_EQ(0, std::memcmp(x.data() + j * 3, expected.data(), 3 * sizeof(double)));
  }
}

}  // namespace
}  // namespace zorvane
