#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/AutomationDates.h"
#include "tests/support/TestEnv.h"

namespace nubra::dates {
namespace {

using nubra::testing::ScopedEnv;

// Switches the regional settings for one test and back to the environment's afterwards.
class LocaleScope {
public:
    explicit LocaleScope(const std::string& name) : old_(RegionalLocale()) { SetRegionalLocale(name); }
    ~LocaleScope() { SetRegionalLocale(old_); }

private:
    std::string old_;
};

int32_t ErrorOf(std::string_view text) {
    try {
        ParseDate(text);
    } catch (const AutomationError& e) {
        return e.Number();
    }
    return 0;
}

TEST(DateArithmetic, NegativeDatesKeepAPositiveTimeOfDay) {
    struct Case {
        Date value;
        DateParts parts;
    };
    const std::vector<Case> cases = {
        {0.0, {1899, 12, 30, 0, 0, 0, 0}},
        {-1.25, {1899, 12, 29, 6, 0, 0, 0}},
        {-1.0, {1899, 12, 29, 0, 0, 0, 0}},
        {1.5, {1899, 12, 31, 12, 0, 0, 0}},
        {2.0, {1900, 1, 1, 0, 0, 0, 0}},
        {60.0, {1900, 2, 28, 0, 0, 0, 0}},
        {61.0, {1900, 3, 1, 0, 0, 0, 0}},  // no 29 February 1900 in the automation count
        {36526.0, {2000, 1, 1, 0, 0, 0, 0}},
        {kYear4501, {4501, 1, 1, 0, 0, 0, 0}},
        {-657434.0, {100, 1, 1, 0, 0, 0, 0}},
        {2958465.0 + 86399.0 / 86400.0, {9999, 12, 31, 23, 59, 59, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        DateParts p = SplitDate(c.value);
        EXPECT_EQ(std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond),
                  std::tie(c.parts.year, c.parts.month, c.parts.day, c.parts.hour, c.parts.minute, c.parts.second,
                           c.parts.millisecond));
        EXPECT_DOUBLE_EQ(MakeDate(c.parts.year, c.parts.month, c.parts.day, c.parts.hour, c.parts.minute,
                                  c.parts.second),
                         c.value);
    }
}

TEST(DateArithmetic, MillisecondsRoundAndCarryIntoTheNextDay) {
    DateParts p = SplitDate(1.0 + 0.0004 / 86400.0);  // 0.4 ms
    EXPECT_EQ(p.millisecond, 0);
    p = SplitDate(1.0 + 0.0006 / 86400.0);
    EXPECT_EQ(p.millisecond, 1);
    p = SplitDate(2.0 - 0.0001 / 86400.0);  // a hair before midnight is midnight
    EXPECT_EQ(std::tie(p.day, p.hour, p.millisecond), std::make_tuple(1, 0, 0));
    EXPECT_EQ(p.month, 1);
    p = SplitDate(-1.0 - (1.0 - 0.0001 / 86400.0));  // 29 Dec 1899 23:59:59.9999 -> 30 Dec 00:00
    EXPECT_EQ(std::tie(p.year, p.month, p.day, p.hour), std::make_tuple(1899, 12, 30, 0));
}

TEST(DateArithmetic, UnixMillisecondsBothWays) {
    const std::vector<std::pair<Date, int64_t>> cases = {
        {25569.0, 0},
        {25569.5, 43'200'000},
        {0.0, -2'209'161'600'000},
        {-1.25, -2'209'161'600'000 - 86'400'000 + 21'600'000},
        {MakeDate(2009, 12, 24, 13, 5, 7.25), 1'261'659'907'250},
    };
    for (const auto& [date, ms] : cases) {
        SCOPED_TRACE(date);
        EXPECT_EQ(ToUnixMillis(date), ms);
        EXPECT_EQ(ToUnixMillis(FromUnixMillis(ms)), ms);
        EXPECT_NEAR(FromUnixMillis(ms), date, 1e-9);
    }
}

TEST(DateArithmetic, FieldsOutOfRangeRaise5) {
    const std::vector<std::tuple<int, int, int, int, int, double>> bad = {
        {99, 12, 31, 0, 0, 0}, {10000, 1, 1, 0, 0, 0}, {2009, 13, 1, 0, 0, 0}, {2009, 2, 29, 0, 0, 0},
        {1900, 2, 29, 0, 0, 0}, {2009, 1, 1, 24, 0, 0}, {2009, 1, 1, 0, 60, 0}, {2009, 1, 1, 0, 0, 60},
    };
    for (const auto& [y, m, d, h, mi, s] : bad) {
        try {
            MakeDate(y, m, d, h, mi, s);
            ADD_FAILURE() << y << "-" << m << "-" << d << " " << h << ":" << mi << ":" << s;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 5);
        }
    }
    EXPECT_NO_THROW(MakeDate(2000, 2, 29));
}

TEST(TimeZone, LocalAndUtcFollowTz) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    const Date winter = MakeDate(2009, 12, 24, 12, 0, 0);
    const Date summer = MakeDate(2009, 7, 1, 12, 0, 0);
    EXPECT_NEAR(UtcToLocal(winter) - winter, 1.0 / 24, 1e-9);
    EXPECT_NEAR(UtcToLocal(summer) - summer, 2.0 / 24, 1e-9);
    EXPECT_NEAR(LocalToUtc(UtcToLocal(summer)), summer, 1e-9);
    // Far years work as well (local mean time before standard zones).
    const Date early = MakeDate(150, 6, 1, 12, 0, 0);
    EXPECT_NEAR(LocalToUtc(UtcToLocal(early)), early, 1e-9);
    {
        ScopedEnv utc("TZ", "UTC");
        EXPECT_NEAR(UtcToLocal(summer), summer, 1e-9);
    }
    ScopedEnv ny("TZ", ":America/New_York");
    EXPECT_NEAR(summer - UtcToLocal(summer), 4.0 / 24, 1e-9);
}

TEST(RegionalSettings, ComeFromTheEnvironment) {
    const std::vector<std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<std::string>,
                                 std::string>>
        cases = {
            {std::nullopt, std::nullopt, std::nullopt, "en_US"},
            {std::nullopt, std::nullopt, "de_DE.UTF-8", "de_DE"},
            {std::nullopt, "nl_NL.UTF-8", "de_DE.UTF-8", "nl_NL"},
            {"ja_JP.UTF-8", "nl_NL.UTF-8", "de_DE.UTF-8", "ja_JP"},
            {"C", std::nullopt, "de_DE.UTF-8", "en_US"},
            {"POSIX", std::nullopt, std::nullopt, "en_US"},
            {std::nullopt, std::nullopt, "de_DE.UTF-8@euro", "de_DE"},
        };
    const std::string old = RegionalLocale();
    SetRegionalLocale("");
    for (const auto& [all, time, lang, expected] : cases) {
        ScopedEnv a("LC_ALL", all), t("LC_TIME", time), l("LANG", lang);
        EXPECT_EQ(RegionalLocale(), expected);
        // Dates follow the environment as it changes, as they follow a locale set.
        const std::string shown = FormatGeneralDate(MakeDate(2009, 3, 4));
        SetRegionalLocale(expected);
        EXPECT_EQ(shown, FormatGeneralDate(MakeDate(2009, 3, 4))) << expected;
        SetRegionalLocale("");
    }
    ScopedEnv l("LANG", "de_DE.UTF-8");
    SetRegionalLocale("en_GB");
    EXPECT_EQ(RegionalLocale(), "en_GB");
    SetRegionalLocale(old);
}

TEST(GeneralDate, LayoutPerLocale) {
    const Date afternoon = MakeDate(2009, 12, 24, 13, 5, 7);
    const Date morning = MakeDate(2009, 3, 4, 9, 5, 7);
    const Date midnight = MakeDate(2009, 3, 4);
    const std::string nnbsp = "\u202f";
    struct Case {
        std::string locale;
        std::string afternoon, morning, midnight;
    };
    const std::vector<Case> cases = {
        {"en_US", "12/24/2009 1:05:07" + nnbsp + "PM", "3/4/2009 9:05:07" + nnbsp + "AM", "3/4/2009"},
        {"en_GB", "24/12/2009 13:05:07", "04/03/2009 09:05:07", "04/03/2009"},
        {"de_DE", "24.12.2009 13:05:07", "04.03.2009 09:05:07", "04.03.2009"},
        {"nl_NL", "24-12-2009 13:05:07", "04-03-2009 09:05:07", "04-03-2009"},
        {"ja_JP", "2009/12/24 13:05:07", "2009/03/04 9:05:07", "2009/03/04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        LocaleScope scope(c.locale);
        EXPECT_EQ(FormatGeneralDate(afternoon), c.afternoon);
        EXPECT_EQ(FormatGeneralDate(morning), c.morning);
        EXPECT_EQ(FormatGeneralDate(midnight), c.midnight);
    }
}

TEST(GeneralDate, FourDigitYearsAndWholeSeconds) {
    LocaleScope scope("en_GB");
    EXPECT_EQ(FormatGeneralDate(MakeDate(100, 1, 1)), "01/01/0100");
    EXPECT_EQ(FormatGeneralDate(MakeDate(1899, 12, 29, 6)), "29/12/1899 06:00:00");
    EXPECT_EQ(FormatGeneralDate(-1.25), "29/12/1899 06:00:00");
    EXPECT_EQ(FormatGeneralDate(0.0), "30/12/1899");
    EXPECT_EQ(FormatGeneralDate(kYear4501), "01/01/4501");
    // Half a second before midnight shows as the next day alone.
    EXPECT_EQ(FormatGeneralDate(MakeDate(2009, 12, 31, 23, 59, 59.6)), "01/01/2010");
}

TEST(ParseDate, ReadsTheLocalesOrderAndSeparators) {
    struct Case {
        std::string locale, text;
        int y, m, d, h, mi, s;
    };
    const std::vector<Case> cases = {
        {"en_US", "12/24/2009", 2009, 12, 24, 0, 0, 0},
        {"en_US", "12-24-2009 1:05 PM", 2009, 12, 24, 13, 5, 0},
        {"en_US", "12/24/2009 1:05:07\u202fPM", 2009, 12, 24, 13, 5, 7},
        {"en_US", "12/24/2009 12:00:00 AM", 2009, 12, 24, 0, 0, 0},
        {"en_US", "12/24/2009 12:30 pm", 2009, 12, 24, 12, 30, 0},
        {"en_US", "  12/24/09  ", 2009, 12, 24, 0, 0, 0},
        {"en_US", "12/24/29", 2029, 12, 24, 0, 0, 0},
        {"en_US", "12/24/30", 1930, 12, 24, 0, 0, 0},
        {"en_US", "1/1/0100", 100, 1, 1, 0, 0, 0},
        {"en_US", "13/1/2009", 2009, 1, 13, 0, 0, 0},  // impossible as M/D: read as D/M
        {"en_US", "Dec 24, 2009", 2009, 12, 24, 0, 0, 0},
        {"en_US", "24 December 2009 13:05", 2009, 12, 24, 13, 5, 0},
        {"en_GB", "24/12/2009 13:05:07", 2009, 12, 24, 13, 5, 7},
        {"en_GB", "24-12-2009", 2009, 12, 24, 0, 0, 0},
        {"en_GB", "2009/12/24", 2009, 12, 24, 0, 0, 0},
        {"de_DE", "24.12.2009 13:05:07", 2009, 12, 24, 13, 5, 7},
        {"de_DE", "24/12/2009", 2009, 12, 24, 0, 0, 0},
        {"de_DE", "24. Dezember 2009", 2009, 12, 24, 0, 0, 0},
        {"nl_NL", "24-12-2009 13:05", 2009, 12, 24, 13, 5, 0},
        {"ja_JP", "2009/12/24 9:05:07", 2009, 12, 24, 9, 5, 7},
        {"ja_JP", "09/12/24", 2009, 12, 24, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale + " " + c.text);
        LocaleScope scope(c.locale);
        Date got = 0;
        ASSERT_NO_THROW(got = ParseDate(c.text));
        EXPECT_DOUBLE_EQ(got, MakeDate(c.y, c.m, c.d, c.h, c.mi, c.s));
    }
}

TEST(ParseDate, TimeAloneIsOnTheZeroDay) {
    LocaleScope scope("en_US");
    EXPECT_DOUBLE_EQ(ParseDate("13:05"), (13 * 60 + 5) / 1440.0);
    EXPECT_DOUBLE_EQ(ParseDate("1:05:30 PM"), ((13 * 60 + 5) * 60 + 30) / 86400.0);
    EXPECT_DOUBLE_EQ(ParseDate("3 PM"), 15 / 24.0);
    EXPECT_DOUBLE_EQ(ParseDate("12/29/1899 6:00 AM"), -1.25);
}

TEST(ParseDate, TextThatIsNoDateRaises13) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"en_US", ""},         {"en_US", "   "},         {"en_US", "no date"},      {"en_US", "24.12.2009"},
        {"en_GB", "24.12.2009"}, {"en_US", "2/30/2009"},  {"en_US", "12/24/2009 25:00"}, {"en_US", "12/24/2009 13:00 PM"},
        {"en_US", "12/24/2009 1:60"}, {"en_US", "12//24/2009"}, {"en_US", "12 24 2009"}, {"en_US", "12/24/99999"},
        {"en_US", "1/1/0099"}, {"en_US", "1/1/10000"},  {"en_US", "12/24/2009 x"}, {"en_US", "12"},
        {"en_US", "1:2:3:4"},  {"en_US", "PM"},          {"de_DE", "24.12.2009 1:05 PM x"},
    };
    for (const auto& [locale, text] : cases) {
        SCOPED_TRACE(locale + " '" + text + "'");
        LocaleScope scope(locale);
        EXPECT_EQ(ErrorOf(text), 13);
    }
    LocaleScope scope("de_DE");
    EXPECT_EQ(ErrorOf("24.12.2009"), 0);
}

// Conversions are remembered; the same text or date met again under another locale must still
// follow that locale, and a text that failed must fail again.
TEST(ParseDate, RepeatedConversionsFollowTheLocale) {
    const Date march = MakeDate(2009, 3, 4), april = MakeDate(2009, 4, 3);
    const std::vector<std::tuple<std::string, Date, std::string>> rounds = {
        {"en_US", march, "3/4/2009"}, {"de_DE", april, "04.03.2009"}, {"en_US", march, "3/4/2009"},
        {"en_GB", april, "04/03/2009"}, {"de_DE", april, "04.03.2009"},
    };
    for (const auto& [locale, parsed, formatted] : rounds) {
        SCOPED_TRACE(locale);
        LocaleScope scope(locale);
        for (int again = 0; again < 2; ++again) {
            EXPECT_DOUBLE_EQ(ParseDate("3/4/2009"), parsed);
            EXPECT_EQ(FormatGeneralDate(march), formatted);
            EXPECT_EQ(ErrorOf("3/4/2009 x"), 13);
        }
    }
}

// Every date written in the general date form reads back as the same second.
TEST(GeneralDate, RoundTripsInEveryLocaleFromYear100To9999) {
    std::vector<Date> samples = {
        MakeDate(100, 1, 1),           MakeDate(100, 1, 1, 12),      MakeDate(100, 12, 31, 23, 59, 59),
        MakeDate(1899, 12, 29, 6),     MakeDate(1899, 12, 30),       MakeDate(1899, 12, 30, 23, 59, 59),
        MakeDate(1900, 2, 28, 12),     MakeDate(1929, 12, 31, 23, 59, 59), MakeDate(1930, 1, 1),
        MakeDate(2000, 2, 29),         MakeDate(2000, 2, 29, 12),    MakeDate(2004, 2, 29, 23, 59, 59),
        MakeDate(2029, 12, 31, 0, 0, 1), MakeDate(2400, 2, 29, 12), MakeDate(4501, 1, 1),
        MakeDate(9999, 12, 31, 23, 59, 59), MakeDate(1600, 2, 29, 0, 0, 1),
    };
    std::mt19937 rng(20091224);
    std::uniform_int_distribution<int> year(100, 9999), month(1, 12), day(1, 28), hour(0, 23), minute(0, 59),
        second(0, 59);
    // Enough dates that conversions kept from the first pass share places with others by the
    // second, which must still get their own.
    for (int i = 0; i < 3000; ++i)
        samples.push_back(MakeDate(year(rng), month(rng), day(rng), hour(rng), minute(rng), second(rng)));
    for (const std::string locale : {"en_US", "en_GB", "de_DE", "nl_NL", "ja_JP"}) {
        LocaleScope scope(locale);
        std::vector<std::string> texts;
        for (Date d : samples) texts.push_back(FormatGeneralDate(d));
        for (size_t i = 0; i < samples.size(); ++i) {
            SCOPED_TRACE(locale + " " + texts[i]);
            Date back = 0;
            ASSERT_NO_THROW(back = ParseDate(texts[i]));
            EXPECT_EQ(ToUnixMillis(back) / 1000, ToUnixMillis(samples[i]) / 1000);
            EXPECT_EQ(FormatGeneralDate(samples[i]), texts[i]);
        }
    }
}

}  // namespace
}  // namespace nubra::dates
