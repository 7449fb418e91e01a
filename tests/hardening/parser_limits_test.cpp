// Inputs at the extreme ends of the parsers' ranges, found by fuzzing. Each one is checked for
// its documented answer; under the sanitizer build the same cases also prove that no step of
// the parsing overflows or reads where it must not.
#include "server/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "ecgcomm");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineLimits, SmallestIntegerComPortIsRefusedWithoutOverflow) {
    EXPECT_EQ(ReadNumber("-2147483648"), INT_MIN);
    EXPECT_EQ(Parse({"-comport", "-2147483648"}).mask & PARAM_COMPORT, 0u);
    EXPECT_EQ(Parse({"-comport", "-99999999999"}).mask & PARAM_COMPORT, 0u)
        << "saturates to the smallest integer first";
    EXPECT_EQ(Parse({"-comport", "-2147483648"}).comPort, 1) << "the default stays";
}

TEST(CommandLineLimits, ComPortRangeEndsAreExact) {
    EXPECT_EQ(Parse({"-comport", "256"}).comPort, 256);
    EXPECT_EQ(Parse({"-comport", "2147483647"}).mask & PARAM_COMPORT, 0u);
    EXPECT_EQ(Parse({"-comport", "0"}).mask & PARAM_COMPORT, 0u);
    EXPECT_EQ(Parse({"-comport", "1"}).mask & PARAM_COMPORT, PARAM_COMPORT);
}

} // namespace
