// Month names and time of day, as the listing parser uses them.
#include "util/textutil.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

// glibc's newlocale keeps the LOCPATH search list it splits (argz) when the
// private test locale is loaded; that is the C library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace zud {
namespace {

TEST(MonthNameTest, RecognisesEveryRowAnyCaseWholeTextOnly) {
  struct Case {
    const char* text;
    int month;
  } cases[] = {
      {"okt", 10},         {"MAI", 5},   {"Aug", 8},  {"xyz", 0},       {"jan", 1},
      {"DEC", 12},         {"dez", 12},  {"f\xE9v", 2}, {"F\xC9V", 2},  {"ao\xFB", 8},
      {"m\xE4r", 3},       {"aou", 8},   {"\xFAno", 2}, {"\xDANO", 2},  {"z\xE1\xF8", 9},
      {"JANUARY", 0},      {" Jan", 0},  {"Jan ", 0}, {"", 0},          {"Ja", 0},
      // UTF-8: the characters the 8-bit rows spell, Latin-1 and Czech alike.
      {"M\xC3\xA4r", 3},   {"M\xC3\x84R", 3}, {"f\xC3\xA9v", 2}, {"ao\xC3\xBB", 8},
      {"\xC3\x9Ano", 2},   {"z\xC3\xA1\xC5\x99", 9}, {"\xC5\x98\xC3\xADj", 10},
      {"\xC4\x8C" "ec", 7}, {"kv\xC4\x9B", 5},
      {"M\xC3r", 0},        {"M\xC3\xA4", 0},  {"\xE2\x82\xAC" "an", 0},  // broken, short, no such letter
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MonthNumberFromName(c.text), c.month) << testing::PrintToString(std::string(c.text));
  }
}

TEST(MonthNameTest, MatchesComparesTextAsGiven) {
  EXPECT_TRUE(MatchesMonthName("JAN", 1));
  EXPECT_FALSE(MatchesMonthName("jan", 1));  // the entries are upper-cased, the text is not
  EXPECT_FALSE(MatchesMonthName("JAN", 2));
  EXPECT_FALSE(MatchesMonthName("JAN", 0));
  EXPECT_FALSE(MatchesMonthName("JAN", 13));
}

TEST(MonthNameTest, LocaleListIsConsultedAndCanBeReplaced) {
  const TMonthRow saved = LocaleMonthNames();
  LocaleMonthNames()[3] = "Xab";
  EXPECT_EQ(MonthNumberFromName("XAB"), 4);
  EXPECT_EQ(MonthNumberFromName("xab"), 4);
  LocaleMonthNames() = saved;
  EXPECT_EQ(MonthNumberFromName("xab"), 0);
}

// Builds a private Spanish locale (whose "ene", "abr", "ago", "dic" are in
// no built-in row) and points the environment at it.
class ScopedSpanishLocale {
 public:
  ScopedSpanishLocale() {
    char pattern[] = "/tmp/zud-locale-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    const std::string command = "localedef -i es_ES -f ISO-8859-1 " + dir_ + "/es_ES >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !std::filesystem::exists(dir_ + "/es_ES")) return;
    setenv("LOCPATH", dir_.c_str(), 1);
    setenv("LC_ALL", "es_ES", 1);
    ready_ = true;
  }
  ~ScopedSpanishLocale() {
    unsetenv("LOCPATH");
    unsetenv("LC_ALL");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool ready() const { return ready_; }

 private:
  std::string dir_;
  bool ready_ = false;
};

TEST(MonthNameTest, LocaleNamesAreLoadedIntoRowZeroAndTheList) {
  {
    ScopedSpanishLocale locale;
    if (!locale.ready()) GTEST_SKIP() << "localedef or the es_ES locale source is not available";
    LoadLocaleMonthNames();
  }
  EXPECT_EQ(MonthNameTable()[0][0], "ene");
  EXPECT_EQ(LocaleMonthNames()[11], "dic");
  EXPECT_EQ(MonthNumberFromName("ENE"), 1);
  EXPECT_EQ(MonthNumberFromName("abr"), 4);
  EXPECT_EQ(MonthNumberFromName("Ago"), 8);
  EXPECT_EQ(MonthNumberFromName("okt"), 10);  // the built-in rows still count
  // The process's own locale was never changed.
  EXPECT_STREQ(setlocale(LC_TIME, nullptr), "C");

  LoadLocaleMonthNames();  // back to the environment's locale
  EXPECT_EQ(MonthNumberFromName("ene"), 0);
}

TEST(MonthNameTest, CLocaleGivesEnglishNames) {
  setenv("LC_ALL", "C", 1);
  LoadLocaleMonthNames();
  unsetenv("LC_ALL");
  const TMonthRow english = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  EXPECT_EQ(MonthNameTable()[0], english);
  EXPECT_EQ(LocaleMonthNames(), english);
}

double Seconds(double day_fraction) { return std::round(day_fraction * 86400000.0) / 1000.0; }

TEST(TimeOfDayTest, ValidTimes) {
  struct Case {
    const char* text;
    double seconds;
  } cases[] = {
      {"23:59", 86340},        {"00:00", 0},           {" 9:05", 32700},
      {"12:30:45", 45045},     {"12:30 PM", 45000},    {"12:30:45 extra", 45045},
      {"9", 32400},            {"9 ", 32400},          {"9 :05", 32700},
      {"9 : 05", 32400},  // only two characters after the last colon are kept
      {"PM 1", 46800},         {"1 pm", 46800},        {"12 AM", 0},
      {"12 pm", 43200},        {"am 11", 39600},       {"0007:05", 25500},
  };
  for (const Case& c : cases) {
    const double value = ParseTimeOfDay(c.text);
    ASSERT_GE(value, 0.0) << c.text;
    EXPECT_DOUBLE_EQ(Seconds(value), c.seconds) << c.text;
  }
  EXPECT_NEAR(ParseTimeOfDay("23:59"), 0.999305555, 1e-9);
}

TEST(TimeOfDayTest, InvalidTimesGiveMinusOne) {
  const char* cases[] = {
      "24:00", "12:60", "12:30:60", "",      ":",     "12:",   "a:00",   "12:3x",
      "1a",    "13 PM", "0 AM",     "AM",    "12::3", "-1:00", "10000",  "12:30:",
  };
  for (const char* text : cases) EXPECT_EQ(ParseTimeOfDay(text), -1.0) << '"' << text << '"';
}

}  // namespace
}  // namespace zud
