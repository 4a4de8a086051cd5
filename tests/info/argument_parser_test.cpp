#include "argument_parser.h"

#include <gtest/gtest.h>

namespace tavrik {
namespace {

struct NumberCase {
    const char* text;
    int32_t value;
};

class ReadsNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ReadsNumber, LikeStrtolWithBaseZero) {
    const std::optional<int32_t> number = parseNumberArgument(GetParam().text);
    ASSERT_TRUE(number.has_value()) << GetParam().text;
    EXPECT_EQ(*number, GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ReadsNumber,
    testing::Values(NumberCase{"0", 0}, NumberCase{"17", 17}, NumberCase{"-1", -1},
                    NumberCase{"+7", 7}, NumberCase{" \t12", 12}, NumberCase{"0x10", 16},
                    NumberCase{"0X1f", 31}, NumberCase{"-0x10", -16}, NumberCase{"010", 8},
                    NumberCase{"08", 0}, NumberCase{"12abc", 12}, NumberCase{"1 2", 1},
                    NumberCase{"2147483647", 2147483647}, NumberCase{"-2147483648", INT32_MIN},
                    NumberCase{"0x7fffffff", INT32_MAX}));

class RejectsArgument : public testing::TestWithParam<const char*> {};

TEST_P(RejectsArgument, WithoutDigitsOrOutOfRange) {
    EXPECT_FALSE(parseNumberArgument(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Arguments, RejectsArgument,
                         testing::Values("", " ", "-", "+", "x", "abc", "--1", "0x", "0X", "0xg",
                                         "2147483648", "-2147483649", "0x80000000",
                                         "99999999999999999999"));

}  // namespace
}  // namespace tavrik
