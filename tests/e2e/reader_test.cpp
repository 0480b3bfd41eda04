// Whole runs that stop in the input reader.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"
