// The feature state file's line rules, which the engine's reads and writes and the pane's reset
// share: where a feature's line is, how it reads, and what a write leaves of the other lines.
#include <gtest/gtest.h>

#include <string>

#include "dunmereprefs/Shared/FeatureStateLines.h"

namespace harbrite::featurestate {
namespace {

constexpr const char* kNEL = "\xC2\x85";
constexpr const char* kLineSeparator = "\xE2\x80\xA8";
constexpr const char* kParagraphSeparator = "\xE2\x80\xA9";

TEST(FeatureStateLines, EveryTerminatorEndsALineAndBelongsToIt) {
  for (const std::string terminator :
       {"\n", "\r", "\r\n", kNEL, kLineSeparator, kParagraphSeparator}) {
    SCOPED_TRACE(testing::PrintToString(terminator));
    // The VPN's line follows another line: the key counts after the terminator...
    const std::string text = "BarState=YES" + terminator + "VPNState=NO" + terminator + "Baz=YES";
    EXPECT_FALSE(readFeature(text, "VPN"));
    // ...its line ends with the terminator, so the next line's "YES" is not read into it...
    const auto line = findFeatureLine(text, "VPN");
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(text.substr(line->begin, line->end - line->begin), "VPNState=NO" + terminator);
    // ...and a write replaces the line with its terminator, leaving the others byte for byte.
    EXPECT_EQ(withFeature(text, "VPN", true),
              "BarState=YES" + terminator + "VPNState=YES\nBaz=YES");
    // A terminator ends the text's last line, so an appended line needs nothing before it.
    EXPECT_EQ(withFeature("BarState=YES" + terminator, "VPN", false),
              "BarState=YES" + terminator + "VPNState=NO\n");
  }
}

TEST(FeatureStateLines, CarriageReturnAndLineFeedAreOneTerminator) {
  // Were CR LF two terminators, the LF would be left behind as an empty line of its own.
  EXPECT_EQ(withFeature("VPNState=NO\r\nBarState=YES\r\n", "VPN", true),
            "VPNState=YES\nBarState=YES\r\n");
  // LF CR is two terminators: the CR stays as the next (empty) line.
  EXPECT_EQ(withFeature("VPNState=NO\n\rBarState=YES\n", "VPN", true),
            "VPNState=YES\n\rBarState=YES\n");
}

TEST(FeatureStateLines, KeyCountsOnlyAtTheStartOfALine) {
  // Bellweir's "MyVPNState=YES" is not the VPN's line: it neither reads as the VPN's state...
  EXPECT_FALSE(readFeature("MyVPNState=YES\n", "VPN"));
  EXPECT_FALSE(readFeature("MyVPNState=YES\nVPNState=NO\n", "VPN"));
  EXPECT_TRUE(readFeature("MyVPNState=NO\nVPNState=YES\n", "VPN"));
  EXPECT_FALSE(readFeature("Bar=1 VPNState=YES\n", "VPN"));
  // ...nor is it the line a write replaces.
  EXPECT_EQ(withFeature("MyVPNState=YES\nVPNState=NO\n", "VPN", true),
            "MyVPNState=YES\nVPNState=YES\n");
  EXPECT_EQ(withFeature("MyVPNState=YES\n", "VPN", false), "MyVPNState=YES\nVPNState=NO\n");
  // The feature's name is part of the key, and letter case counts.
  EXPECT_FALSE(readFeature("vpnState=YES\n", "VPN"));
  EXPECT_TRUE(readFeature("WiFiState=YES\n", "WiFi"));
}

TEST(FeatureStateLines, OnlyTheFirstLineOfAFeatureCounts) {
  EXPECT_TRUE(readFeature("VPNState=YES\nVPNState=NO\n", "VPN"));
  EXPECT_FALSE(readFeature("VPNState=NO\nVPNState=YES\n", "VPN"));
  EXPECT_EQ(withFeature("A=1\nVPNState=YES\nB=2\nVPNState=YES\n", "VPN", false),
            "A=1\nVPNState=NO\nB=2\nVPNState=YES\n");
}

TEST(FeatureStateLines, ALineReadsAsOnWhenItContainsYesAnywhere) {
  EXPECT_TRUE(readFeature("VPNState=YES\n", "VPN"));
  EXPECT_TRUE(readFeature("VPNState=NOYES\n", "VPN"));
  EXPECT_TRUE(readFeature("VPNState=maybe, YES really", "VPN"));
  EXPECT_FALSE(readFeature("VPNState=yes\n", "VPN"));
  EXPECT_FALSE(readFeature("VPNState=NO\n", "VPN"));
  EXPECT_FALSE(readFeature("VPNState=\n", "VPN"));
  // "YES" split across the line's end is not in the line.
  EXPECT_FALSE(readFeature("VPNState=YE\nS\n", "VPN"));
}

TEST(FeatureStateLines, EmptyTextAndTheKeyAsTheVeryLastBytes) {
  EXPECT_FALSE(findFeatureLine("", "VPN").has_value());
  EXPECT_FALSE(readFeature("", "VPN"));
  EXPECT_EQ(withFeature("", "VPN", true), "VPNState=YES\n");

  // The key with nothing after it, at the very end of the text: the line runs to the end.
  const std::string text = "BarState=YES\nVPNState=";
  const auto line = findFeatureLine(text, "VPN");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->begin, 13u);
  EXPECT_EQ(line->end, text.size());
  EXPECT_FALSE(readFeature(text, "VPN"));
  EXPECT_EQ(withFeature(text, "VPN", true), "BarState=YES\nVPNState=YES\n");
  // Part of the key at the end is no key.
  EXPECT_FALSE(findFeatureLine("BarState=YES\nVPNState", "VPN").has_value());
}

TEST(FeatureStateLines, AWriteReplacesOnlyTheFeaturesLineInItsPlace) {
  EXPECT_EQ(withFeature("BarState=NO\nVPNState=NO\nBazState=YES\n", "VPN", true),
            "BarState=NO\nVPNState=YES\nBazState=YES\n");
  // A last line without a terminator gets one when it is the replaced line.
  EXPECT_EQ(withFeature("BarState=NO\nVPNState=NO", "VPN", true), "BarState=NO\nVPNState=YES\n");
  // Other lines keep bytes the engine has no meaning for: tabs, spaces, text beyond ASCII, blank
  // lines and a byte-order mark.
  const std::string others = "\xEF\xBB\xBFLigne \xC3\xA9t\xC3\xA9\t=YES \r\n\n";
  EXPECT_EQ(withFeature(others + "VPNState=YES\n" + others, "VPN", false),
            others + "VPNState=NO\n" + others);
}

TEST(FeatureStateLines, AppendingAfterALastLineWithoutTerminatorPutsALineFeedFirst) {
  EXPECT_EQ(withFeature("BarState=YES", "VPN", false), "BarState=YES\nVPNState=NO\n");
  // What the LF prevents: the appended line joining Bellweir's and reading its "YES".
  EXPECT_FALSE(readFeature(withFeature("BarState=YES", "VPN", false), "VPN"));
  // Ended by a multi-byte terminator, the text needs no LF of its own.
  EXPECT_EQ(withFeature(std::string("BarState=YES") + kNEL, "VPN", true),
            std::string("BarState=YES") + kNEL + "VPNState=YES\n");
  // A text ending in a character whose last bytes resemble a terminator's is not terminated.
  EXPECT_EQ(withFeature("Bar=\xE2\x82\xAC", "VPN", true), "Bar=\xE2\x82\xAC\nVPNState=YES\n");
}

}  // namespace
}  // namespace harbrite::featurestate
