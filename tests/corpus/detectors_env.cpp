// The detectors' files are read before any test reads a report: they say which frames are a
// detector's runtime and how each names a data race.
#include "detectors.h"

#include <gtest/gtest.h>

namespace {
struct detectors_read_t : ::testing::Environment {
    void SetUp() override {
        detectors();
    }
};
const auto *read_first = ::testing::AddGlobalTestEnvironment(new detectors_read_t);
} // namespace
