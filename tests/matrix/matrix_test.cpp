// The fault-injection matrix, one row per fault: no cell may be BAD.
#include <gtest/gtest.h>

#include "matrix.h"

namespace {

constexpr uint64_t kSeed = 62;

class FaultMatrix : public ::testing::TestWithParam<matrix::Fault> {};

TEST_P(FaultMatrix, NoOperationEndsBadly) {
    matrix::Matrix m(kSeed);
    ASSERT_TRUE(m.prepare()) << m.error();
    for (matrix::Op op : matrix::all_ops()) {
        if (!matrix::applies(GetParam(), op))
            continue;
        matrix::CellResult r = m.run(GetParam(), op);
        EXPECT_NE(r.verdict, matrix::Verdict::Bad)
            << matrix::op_name(op) << ": " << r.detail << " (" << r.seconds
            << " s of " << r.bound_s << " s)";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FaultMatrix, ::testing::ValuesIn(matrix::all_faults()),
    [](const ::testing::TestParamInfo<matrix::Fault> &info) {
        return std::string(matrix::fault_name(info.param));
    });

} // namespace
