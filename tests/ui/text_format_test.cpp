#include "ui/text_format.h"

#include <gtest/gtest.h>
#include <limits>

namespace taln {
namespace {

TEST(FormatTime, FloorsToWholeSecondsAndKeepsMinutesUnpadded) {
    EXPECT_EQ(formatTime(0.0), "0:00");
    EXPECT_EQ(formatTime(9.99), "0:09");
    EXPECT_EQ(formatTime(59.6), "0:59"); // floored, never rounded up
    EXPECT_EQ(formatTime(61.0), "1:01");
    EXPECT_EQ(formatTime(65.3), "1:05");
    EXPECT_EQ(formatTime(200.0), "3:20");
    EXPECT_EQ(formatTime(167.0), "2:47");
    EXPECT_EQ(formatTime(3600.0), "60:00"); // no hours field
    EXPECT_EQ(formatTime(6000.0), "100:00");
}

TEST(FormatTime, ValuesNoRecordingHasReadAsZeroInsteadOfGarbage) {
    EXPECT_EQ(formatTime(-0.5), "0:00");
    EXPECT_EQ(formatTime(std::numeric_limits<double>::quiet_NaN()), "0:00");
    EXPECT_EQ(formatTime(std::numeric_limits<double>::infinity()), "0:00");
    // Past what a 64-bit count holds: clamped, never a negative wrap-around.
    const QString huge = formatTime(1e300);
    EXPECT_FALSE(huge.contains(QLatin1Char('-'))) << huge.toStdString();
    EXPECT_TRUE(huge.contains(QLatin1Char(':')));
}

TEST(FormatStrength, TruncatesTowardZero) {
    EXPECT_EQ(formatStrength(0.0), "0 %");
    EXPECT_EQ(formatStrength(59.9), "59 %");
    EXPECT_EQ(formatStrength(60.0), "60 %");
    EXPECT_EQ(formatStrength(99.999), "99 %");
    EXPECT_EQ(formatStrength(100.0), "100 %");
}

TEST(FormatStrength, OutOfRangeValuesStayInsideTheSlidersRange) {
    EXPECT_EQ(formatStrength(-3.0), "0 %");
    EXPECT_EQ(formatStrength(250.0), "100 %");
    EXPECT_EQ(formatStrength(std::numeric_limits<double>::quiet_NaN()), "0 %");
}

TEST(FormatTenths, FloorsToTenthsAndSpellsTheSelection) {
    EXPECT_EQ(formatTenths(65.37), "1:05.3");
    EXPECT_EQ(formatTenths(0.7 * 3.0), "0:02.1"); // 2.0999..., seeking 0.7 of 3 s
    EXPECT_EQ(formatTenths(59.99), "0:59.9");
    EXPECT_EQ(formatTenths(-1.0), "0:00.0");
    EXPECT_EQ(selectionText(1.25, 3.5), "0:01.2 – 0:03.5 (2.2 s)");
    EXPECT_EQ(selectionText(0.0, 75.0), "0:00.0 – 1:15.0 (1:15.0)");
}

TEST(LoadingText, APercentWhereKnownTheTitleAloneWhereNot) {
    EXPECT_EQ(loadingText(0.437), QStringLiteral("Reading audio… 43 %"));
    EXPECT_EQ(loadingText(1.2), QStringLiteral("Reading audio… 100 %"));
    EXPECT_EQ(loadingText(-1.0), QStringLiteral("Reading audio…"));
    EXPECT_EQ(loadingText(std::numeric_limits<double>::quiet_NaN()),
              QStringLiteral("Reading audio…"));
}

TEST(Breakable, OnlyLongWordsGetBreaksAndTheTextReadsTheSame) {
    const QString shortWords = QStringLiteral("notes.txt isn't an audio file");
    EXPECT_EQ(breakable(shortWords), shortWords);
    const QString name = QStringLiteral("a_very_long_recording_name_without_any_spaces.wav");
    const QString broken = breakable(QStringLiteral("Saved ") + name);
    EXPECT_GT(broken.size(), 6 + name.size());
    QString read = broken;
    read.remove(QChar(0x200B));
    EXPECT_EQ(read, QStringLiteral("Saved ") + name);
    // A character outside the basic plane stays whole.
    const QString emoji = QString(30, QLatin1Char('x')) + QString::fromUtf8("\xF0\x9F\x8E\xA4");
    EXPECT_TRUE(breakable(emoji).endsWith(QString::fromUtf8("\xF0\x9F\x8E\xA4")));
}

} // namespace
} // namespace taln
