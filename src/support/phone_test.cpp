// The master number read as a full international number.
#include "support/phone.hpp"

#include <gtest/gtest.h>

namespace talmo::phone {
namespace {

TEST(InternationalNumber, CountryCodeTable) {
  struct Case {
    const char* text;
    const char* digits;
    const char* region;
    const char* described;
  } cases[] = {
      {"+92 300 1234567", "923001234567", "PK", "+92 300 1234567 (Pakistan)"},
      {"0092 300 1234567", "923001234567", "PK", "+92 300 1234567 (Pakistan)"},
      {"923001234567", "923001234567", "PK", "+92 300 1234567 (Pakistan)"},
      {"+49 151 23456789", "4915123456789", "DE", "+49 1512 3456789 (Germany)"},
      {"+44 20 7946 0958", "442079460958", "GB", "+44 20 7946 0958 (United Kingdom)"},
      {"+39 06 1234 5678", "390612345678", "IT", "+39 06 1234 5678 (Italy)"},  // Italy keeps its 0
      {"+7 912 345-67-89", "79123456789", "RU", "+7 912 345-67-89 (Russia)"},
      {"+91 98765 43210", "919876543210", "IN", "+91 98765 43210 (India)"},
      {"+234 803 123 4567", "2348031234567", "NG", "+234 803 123 4567 (Nigeria)"},
      // A test number no country has given out is still a possible one.
      {"+1 (555) 123-4567", "15551234567", "US", "+1 555-123-4567 (United States)"},
      {" (+1) 555.123.4567 ", "15551234567", "US", "+1 555-123-4567 (United States)"},
  };
  for (const auto& c : cases) {
    auto n = parse_international(c.text);
    ASSERT_TRUE(n) << c.text;
    EXPECT_EQ(n->digits, c.digits) << c.text;
    EXPECT_EQ(n->region, c.region) << c.text;
    EXPECT_EQ(describe(*n), c.described) << c.text;
  }
}

// Possible but doubtful numbers are told apart, so that onboarding can ask.
TEST(InternationalNumber, ValidityAndTheCountryCodeMark) {
  struct Case {
    const char* text;
    bool valid;
    bool marked;
  } cases[] = {
      {"+49 1512 3456789", true, true},   {"0049 1512 3456789", true, true}, {"(+49) 1512 3456789", true, true},
      {"+49 151", false, true},           {"+1 555 123 4567", false, true},
      {"151 23456789", true, false},  // +1 512 345 6789, a valid US number the owner never meant
      {"4915123456789", true, false},
  };
  for (const auto& c : cases) {
    auto n = parse_international(c.text);
    ASSERT_TRUE(n) << c.text;
    EXPECT_EQ(n->valid, c.valid) << c.text;
    EXPECT_EQ(n->marked, c.marked) << c.text;
  }
}

TEST(InternationalNumber, NationalFormsAndImpossibleNumbersAreRefused) {
  for (const char* text : {"0300 1234567", "03001234567", "+0300 1234567", "12", "+1 23",
                           "+999 1234567", "+49 30 12345678901234567", "", "  ", "+", "abc", "-"})
    EXPECT_FALSE(parse_international(text)) << text;
}

}  // namespace
}  // namespace talmo::phone
