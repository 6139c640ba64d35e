// A progress bar's numbers without its control: minimum, maximum and value as the contract
// keeps them (single precision, values outside the range refused), and the position on the
// integer scale a real control shows. Each window toolkit's bar paints the position.
#pragma once

#include "host/Controls.h"

namespace nubra::ui {

class ScaledProgressBar : public ProgressBar {
public:
    // Steps of the control's integer scale.
    static constexpr int kSteps = 10000;

    float Min() const override { return min_; }
    void SetMin(float v) override;
    float Max() const override { return max_; }
    void SetMax(float v) override;
    float Value() const override { return value_; }
    // Raises 380 (Invalid property value) outside [Min, Max], leaving the value unchanged.
    void SetValue(float v) override;

    // The control's position for the current numbers, 0..kSteps.
    int Position() const;

protected:
    // Paints Position() on the control; called after every change. The numbers stay valid
    // when the control is gone, so a scan can never write into a destroyed one.
    virtual void Show() = 0;

private:
    float min_ = 0, max_ = 100, value_ = 0;
};

}  // namespace nubra::ui
