#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/AutomationDates.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using testing::ErrorOf;

class VariantDates : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = dates::RegionalLocale();
        dates::SetRegionalLocale("en_GB");
    }
    void TearDown() override { dates::SetRegionalLocale(old_); }
    std::string old_;
};

TEST_F(VariantDates, DatesAndTextConvertUnderTheRegionalSettings) {
    const Date d = dates::MakeDate(2009, 12, 24, 13, 5, 7);
    EXPECT_EQ(Variant::FromDate(d).AsString(), "24/12/2009 13:05:07");
    EXPECT_EQ(Variant::FromDate(dates::MakeDate(2009, 12, 24)).AsString(), "24/12/2009");
    EXPECT_DOUBLE_EQ(Variant("24/12/2009 13:05:07").AsDate(), d);
    EXPECT_DOUBLE_EQ(Variant(int32_t{2}).AsDate(), 2.0);
    EXPECT_DOUBLE_EQ(Variant().AsDate(), 0.0);        // Empty is the zero date
    EXPECT_DOUBLE_EQ(Variant(true).AsDate(), -1.0);   // True is -1
    EXPECT_EQ(ErrorOf([] { Variant("no date").AsDate(); }), 13);
    EXPECT_EQ(ErrorOf([] { Variant::Nothing().AsDate(); }), 13);
}

TEST(Variant, NumbersRoundHalfToEvenAndOverflow) {
    const std::vector<std::pair<double, int32_t>> cases = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {1.4999, 1}, {0.5, 0}};
    for (const auto& [in, out] : cases) EXPECT_EQ(Variant(in).AsLong(), out) << in;
    EXPECT_EQ(Variant(true).AsLong(), -1);
    EXPECT_EQ(Variant("42").AsLong(), 42);
    EXPECT_EQ(Variant().AsLong(), 0);
    EXPECT_EQ(ErrorOf([] { Variant(3e9).AsLong(); }), 6);
    EXPECT_EQ(ErrorOf([] { Variant("12abc").AsLong(); }), 13);
    EXPECT_EQ(ErrorOf([] { Variant("").AsLong(); }), 13);
}

TEST(Variant, TextForms) {
    EXPECT_EQ(Variant().AsString(), "");
    EXPECT_EQ(Variant(true).AsString(), "True");
    EXPECT_EQ(Variant(false).AsString(), "False");
    EXPECT_EQ(Variant(int16_t{-7}).AsString(), "-7");
    EXPECT_EQ(Variant(int32_t{-2147221502}).AsString(), "-2147221502");
    EXPECT_EQ(Variant(2.0).AsString(), "2");
    EXPECT_EQ(Variant(0.25).AsString(), "0.25");
    EXPECT_EQ(ErrorOf([] { Variant::Nothing().AsString(); }), 13);
    EXPECT_EQ(ErrorOf([] { Variant(std::vector<uint8_t>{1}).AsString(); }), 13);
}

TEST(Variant, BooleansAndObjects) {
    EXPECT_TRUE(Variant("True").AsBool());
    EXPECT_FALSE(Variant("0").AsBool());
    EXPECT_TRUE(Variant(int32_t{-1}).AsBool());
    EXPECT_EQ(ErrorOf([] { Variant("maybe").AsBool(); }), 13);
    EXPECT_EQ(Variant::Nothing().AsObject(), nullptr);
    EXPECT_TRUE(Variant(ObjectRef{}).IsNothing());
    EXPECT_EQ(ErrorOf([] { Variant(int32_t{1}).AsObject(); }), 13);
}

}  // namespace
}  // namespace nubra
