// The plain-array steps of the multi-start fit that Python cannot reach one by one: the
// choice of the best start (ties, NaN errors), the multipliers, and the start values.
#include "kelp/starts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using kelp::zero_based_array;
using kelp::zero_based_matrix;
using kelp::index;

const double nan = std::numeric_limits<double>::quiet_NaN();

index best_of(const std::vector<double>& errors) {
  return kelp::select_best(zero_based_array<const double>{errors.data(), static_cast<index>(errors.size())});
}

TEST(SelectBest, StrictlySmallerWinsAndTiesKeepTheEarlierStart) {
  EXPECT_EQ(best_of({3.0, 2.0, 1.0}), 2);
  EXPECT_EQ(best_of({1.0, 2.0, 1.0}), 0);
  EXPECT_EQ(best_of({2.0, 1.0, 1.0, 1.5}), 1);
  EXPECT_EQ(best_of({5.0}), 0);
}

TEST(SelectBest, NanNeverReplacesTheBestAndAtStartZeroItStays) {
  EXPECT_EQ(best_of({2.0, nan, 1.0}), 2);
  EXPECT_EQ(best_of({1.0, nan, nan}), 0);
  EXPECT_EQ(best_of({nan, 1.0, 0.5}), 0);
  EXPECT_EQ(best_of({nan, nan}), 0);
}

TEST(SelectBest, NoStartIsAnIndexErrorOnAxisZero) {
  try {
    best_of({});
    FAIL() << "no exception";
  } catch (const kelp::index_error& e) {
    EXPECT_EQ(e.axis(), 0);
    EXPECT_STREQ(e.what(), "Out of bounds on buffer access (axis 0)");
  }
}

TEST(StartMultiplier, RunsLogEvenlyFromTenToTheMinusPointFiveTwo) {
  const double low = std::pow(10.0, -0.52), high = std::pow(10.0, 0.52);
  EXPECT_EQ(kelp::start_multiplier(0, 1), low);  // a single start is not at 1
  EXPECT_EQ(kelp::start_multiplier(0, 3), low);
  EXPECT_EQ(kelp::start_multiplier(1, 3), 1.0);  // exactly
  EXPECT_EQ(kelp::start_multiplier(2, 3), high);
  EXPECT_EQ(kelp::start_multiplier(2, 5), 1.0);
  const double four[] = {0.30199517204020, 0.67091370995541, 1.49050464338620, 3.31131121482591};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(kelp::start_multiplier(i, 4), four[i], 1e-13);
  const double five[] = {0.30199517204020, 0.54954087385762, 1.0, 1.81970085860998, 3.31131121482591};
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(kelp::start_multiplier(i, 5), five[i], 1e-13);
}

struct start_table {
  std::vector<double> spec_pars = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<double> rows;
  std::vector<double> multipliers = {0.5, 2.0};
  explicit start_table(index n_rows) {
    for (index i = 0; i < n_rows; ++i) rows.insert(rows.end(), spec_pars.begin(), spec_pars.end());
  }
  void fill(const std::vector<std::int32_t>& fit_indices, index cols = 8) {
    kelp::fill_start_values(zero_based_matrix<double>{rows.data(), static_cast<index>(multipliers.size()), cols},
                               zero_based_array<const double>{spec_pars.data(), cols},
                               zero_based_array<const std::int32_t>{fit_indices.data(), static_cast<index>(fit_indices.size())},
                               zero_based_array<const double>{multipliers.data(), static_cast<index>(multipliers.size())},
                               static_cast<index>(multipliers.size()));
  }
};

TEST(StartValues, OnlyFittedEntriesAreScaledAndARepeatedIndexOnlyOnce) {
  start_table t(2);
  t.fill({1, 6, 1});
  const std::vector<double> expected = {1, 1.0, 3, 4, 5, 6, 3.5, 8, 1, 4.0, 3, 4, 5, 6, 14.0, 8};
  EXPECT_EQ(t.rows, expected);
}

TEST(StartValues, AnIndexPastTheParametersIsAnIndexErrorOnAxisZero) {
  start_table t(2);
  try {
    t.fill({7}, 7);
    FAIL() << "no exception";
  } catch (const kelp::index_error& e) {
    EXPECT_EQ(e.axis(), 0);
  }
}

}  // namespace
