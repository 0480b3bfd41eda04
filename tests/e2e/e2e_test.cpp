// Whole runs of the program built from fixtures written inline.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

TEST(Run, MissingInputFileStopsAfterTheFirstStepLine) {
    e2e::Scratch dir;
    auto run = e2e::run(dir.path(), {});
    EXPECT_EQ(run.out, e2e::kReading + " The input file does not exist!\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
}

}  // namespace
