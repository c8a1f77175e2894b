#include "support/version.h"

#include <gtest/gtest.h>

namespace hv {
namespace {

void ExpectParts(const FourPartVersion& v, int32_t major, int32_t minor, int32_t build, int32_t revision) {
  EXPECT_EQ(major, v.major);
  EXPECT_EQ(minor, v.minor);
  EXPECT_EQ(build, v.build);
  EXPECT_EQ(revision, v.revision);
}

TEST(Version, ParsesUpToFourParts) {
  ExpectParts(ParseVersion(L"4.0.30319"), 4, 0, 30319, -1);
  ExpectParts(ParseVersion(L"10"), 10, -1, -1, -1);
  ExpectParts(ParseVersion(L""), -1, -1, -1, -1);
  ExpectParts(ParseVersion(L"v4.0"), -1, -1, -1, -1);
  ExpectParts(ParseVersion(L"1.2.3.4.5"), 1, 2, 3, 4);
  ExpectParts(ParseVersion(L"9.11.9600.18231"), 9, 11, 9600, 18231);
  // As "%d" reads: blanks and a sign before a part; a separator other than a dot ends the version.
  ExpectParts(ParseVersion(L" 2. -3.+4"), 2, -3, 4, -1);
  ExpectParts(ParseVersion(L"6.1 .7601"), 6, 1, -1, -1);
  ExpectParts(ParseVersion(L"5..1"), 5, -1, -1, -1);
  // Beyond 32 bits a part saturates, whatever the width of long.
  ExpectParts(ParseVersion(L"4294967296.-4294967297"), 2147483647, -2147483647 - 1, -1, -1);
}

TEST(Version, FormatsByThePresenceOfBuildAndRevision) {
  EXPECT_EQ(L"6.1.7601.17514", FormatVersion({6, 1, 7601, 17514}));
  EXPECT_EQ(L"2.0", FormatVersion({2, 0, -1, -1}));
  EXPECT_EQ(L"2.0.50727", FormatVersion({2, 0, 50727, -1}));
  EXPECT_EQ(L"-1.-1", FormatVersion(FourPartVersion()));
}

TEST(Version, OrdersAbsentPartsAsTheRulesSay) {
  EXPECT_TRUE(IsGreater(ParseVersion(L"2.0.50727"), ParseVersion(L"1.1.4322")));
  EXPECT_TRUE(IsGreater(ParseVersion(L"4.0"), ParseVersion(L"4")));
  EXPECT_FALSE(IsGreater(ParseVersion(L"4"), ParseVersion(L"4.0")));
  EXPECT_TRUE(IsGreater(ParseVersion(L"0"), FourPartVersion()));
  EXPECT_FALSE(IsGreater(ParseVersion(L"4.0"), ParseVersion(L"4.0.0")));
  EXPECT_FALSE(IsGreater(ParseVersion(L"4.0.0"), ParseVersion(L"4.0")));
  EXPECT_TRUE(IsGreater(ParseVersion(L"4.0.0.1"), ParseVersion(L"4.0.0")));
  EXPECT_FALSE(IsGreater(ParseVersion(L"4.0.0.1"), ParseVersion(L"4.0")));
  EXPECT_FALSE(IsGreater(ParseVersion(L"4.0"), ParseVersion(L"4.0.0.1")));
  EXPECT_TRUE(IsGreater(ParseVersion(L"4.0.1"), ParseVersion(L"4.0.0.9")));
}

}  // namespace
}  // namespace hv
