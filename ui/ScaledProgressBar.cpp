#include "ui/ScaledProgressBar.h"

#include <cmath>

#include "host/Automation.h"

namespace nubra::ui {

namespace {
constexpr int32_t kInvalidPropertyValue = 380;
}  // namespace

void ScaledProgressBar::SetMin(float v) {
    min_ = v;
    if (value_ < min_) value_ = min_;
    Show();
}

void ScaledProgressBar::SetMax(float v) {
    max_ = v;
    if (value_ > max_) value_ = max_;
    Show();
}

void ScaledProgressBar::SetValue(float v) {
    if (!(v >= min_ && v <= max_)) RaiseError(kInvalidPropertyValue);
    value_ = v;
    Show();
}

int ScaledProgressBar::Position() const {
    // Computed in double: item counts beyond a float's exact integers still map monotonically.
    const double span = static_cast<double>(max_) - min_;
    if (!(span > 0)) return 0;
    const double fraction = (static_cast<double>(value_) - min_) / span;
    const long pos = std::lround(fraction * kSteps);
    return static_cast<int>(pos < 0 ? 0 : pos > kSteps ? kSteps : pos);
}

}  // namespace nubra::ui
