// A progress bar without a window for tests and benchmarks that only need the scan to have
// somewhere to write its value.
#pragma once

#include "host/Controls.h"

namespace nubra::testing {

class MemoryProgressBar : public ProgressBar {
public:
    float Min() const override { return min; }
    void SetMin(float v) override { min = v; }
    float Max() const override { return max; }
    void SetMax(float v) override { max = v; }
    float Value() const override { return value; }
    void SetValue(float v) override { value = v; }

    float min = 0, max = 0, value = 0;
};

}  // namespace nubra::testing
