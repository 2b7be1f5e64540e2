#include "ui/controls_bar.h"

#include "ui/content_view.h"
#include "ui/look.h"
#include "ui/waveforms_area.h"
#include "ui_fixture.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <functional>
#include <utility>

namespace taln::test {
namespace {

class ControlsBarTest : public WindowTest {
protected:
    ControlsBar* bar() const { return window->content()->controls(); }

    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(window->windowHandle(), key, modifiers);
        QCoreApplication::processEvents();
    }

    bool loadTone(double seconds = 2.0) {
        return loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), seconds));
    }
};

TEST_F(ControlsBarTest, SpaceAndCDoNothingWithoutAudio) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    press(Qt::Key_Space);
    press(Qt::Key_C);
    EXPECT_FALSE(model->isPlaying());
    EXPECT_FALSE(model->hearOriginal());
    // Nor while the first file is still being read (the drop zone is still up).
    model->load(writeTone(dir, QStringLiteral("tone.wav"), 1.0));
    press(Qt::Key_C);
    EXPECT_FALSE(model->hearOriginal());
    ASSERT_TRUE(waitFor([&] { return !model->isLoading() && !model->isProcessing(); }));
}

TEST_F(ControlsBarTest, SpaceTogglesPlaybackAndCTogglesHearingWithoutModifiers) {
    ASSERT_TRUE(loadTone());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    press(Qt::Key_Space);
    EXPECT_TRUE(model->isPlaying());
    // C also works while playing, and does not interrupt playback.
    press(Qt::Key_C);
    EXPECT_TRUE(model->hearOriginal());
    EXPECT_TRUE(model->isPlaying());
    press(Qt::Key_C);
    EXPECT_FALSE(model->hearOriginal());
    press(Qt::Key_Space);
    EXPECT_FALSE(model->isPlaying());

    // With a modifier they are other keys.
    press(Qt::Key_C, Qt::ControlModifier);
    press(Qt::Key_Space, Qt::ShiftModifier);
    EXPECT_FALSE(model->hearOriginal());
    EXPECT_FALSE(model->isPlaying());
}

// A key held down repeats; each shortcut toggles once per press, not once per repeat.
TEST_F(ControlsBarTest, AHeldKeyTogglesOnce) {
    ASSERT_TRUE(loadTone());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const std::pair<Qt::Key, std::function<bool()>> keys[] = {
        {Qt::Key_Space, [this] { return model->isPlaying(); }},
        {Qt::Key_C, [this] { return model->hearOriginal(); }},
    };
    for (const auto& [key, state] : keys) {
        const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("c");
        QWindow* handle = window->windowHandle();
        QTest::simulateEvent(handle, true, key, Qt::NoModifier, text, false);
        for (int repeat = 0; repeat < 3; ++repeat) {
            QTest::simulateEvent(handle, true, key, Qt::NoModifier, text, true);
        }
        QTest::simulateEvent(handle, false, key, Qt::NoModifier, text, false);
        QCoreApplication::processEvents();
        EXPECT_TRUE(state()) << key;
    }
}

// A focused button takes Space and Return as any desktop button does; elsewhere Space plays.
TEST_F(ControlsBarTest, SpaceAndReturnPressAFocusedButtonAndPlayElsewhere) {
    ASSERT_TRUE(loadTone());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->content()->openButton()->setFocus();
    press(Qt::Key_Space);
    press(Qt::Key_Return);
    EXPECT_EQ(log->openCount, 2);
    bar()->compareButton()->setFocus();
    press(Qt::Key_Space);
    EXPECT_TRUE(model->hearOriginal());
    EXPECT_FALSE(model->isPlaying());

    window->content()->waveforms()->setFocus();
    press(Qt::Key_Space);
    EXPECT_TRUE(model->isPlaying());
}

TEST_F(ControlsBarTest, CompareButtonNamesWhatIsAudible) {
    ASSERT_TRUE(loadTone());
    QPushButton* compare = bar()->compareButton();
    EXPECT_EQ(compare->text(), "Hearing: Cleaned");
    EXPECT_EQ(compare->toolTip(), "Compare original and cleaned audio (C)");
    QTest::mouseClick(compare, Qt::LeftButton);
    EXPECT_TRUE(model->hearOriginal());
    EXPECT_EQ(compare->text(), "Hearing: Original");
    // The model is the source: a change made elsewhere shows too.
    model->setHearOriginal(false);
    EXPECT_EQ(compare->text(), "Hearing: Cleaned");
}

// R selects Removed; C from Removed goes back to Cleaned, never to Original; the Removed
// button shows and leaves the position.
TEST_F(ControlsBarTest, RSelectsRemovedAndCGoesBackToCleaned) {
    ASSERT_TRUE(loadTone());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    using L = TalnModel::Listening;
    struct Step {
        std::function<void()> act;
        L listening;
        const char* title;
    };
    QPushButton* removed = bar()->removedButton();
    const int width = bar()->compareButton()->width();
    const Step steps[] = {
        {[&] { press(Qt::Key_R); }, L::Removed, "Hearing: Removed"},
        {[&] { press(Qt::Key_C); }, L::Cleaned, "Hearing: Cleaned"},
        {[&] { press(Qt::Key_C); }, L::Original, "Hearing: Original"},
        {[&] { QTest::mouseClick(removed, Qt::LeftButton); }, L::Removed, "Hearing: Removed"},
        {[&] { QTest::mouseClick(removed, Qt::LeftButton); }, L::Cleaned, "Hearing: Cleaned"},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(model->listening(), step.listening) << step.title;
        EXPECT_EQ(bar()->compareButton()->text(), step.title);
        EXPECT_EQ(removed->isChecked(), step.listening == L::Removed) << step.title;
        // Its width stays, so the hum label beside it does not shift.
        EXPECT_EQ(bar()->compareButton()->width(), width) << step.title;
    }
}

TEST_F(ControlsBarTest, PlayButtonFollowsIsPlayingAndTheTimeLabelFollowsThePosition) {
    ASSERT_TRUE(loadTone(2.5));
    QPushButton* play = bar()->playButton();
    const qint64 playKey = look::playIcon(play).cacheKey();
    EXPECT_EQ(bar()->timeLabel()->text(), "0:00.0 / 0:02.5");
    const int width = play->width();

    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_TRUE(model->isPlaying());
    EXPECT_NE(play->icon().cacheKey(), playKey);
    EXPECT_EQ(play->width(), width);

    // Run the output past the end: the model's tick stops playback and rewinds.
    manual->advance(static_cast<std::int64_t>(3.0 * kSampleRate));
    ASSERT_TRUE(waitFor([&] { return !model->isPlaying(); }));
    EXPECT_EQ(bar()->timeLabel()->text(), "0:00.0 / 0:02.5");
    EXPECT_EQ(play->width(), width);

    model->seek(0.8);
    EXPECT_EQ(bar()->timeLabel()->text(), "0:02.0 / 0:02.5");
}

TEST_F(ControlsBarTest, SliderWritesStrengthOnEveryMoveAndTheLabelTruncates) {
    ASSERT_TRUE(loadTone());
    QSlider* slider = bar()->strengthSlider();
    QLabel* value = bar()->strengthLabel();
    EXPECT_EQ(value->text(), "60 %");
    EXPECT_EQ(slider->value(), 6000);

    int writes = 0;
    QObject::connect(model.get(), &TalnModel::strengthChanged, [&] { ++writes; });
    slider->setValue(5990);
    EXPECT_DOUBLE_EQ(model->strength(), 59.9);
    EXPECT_EQ(value->text(), "59 %");
    slider->setValue(5991);
    slider->setValue(5992);
    // One write per movement, and following the model does not write back.
    EXPECT_EQ(writes, 3);

    slider->setValue(slider->minimum());
    EXPECT_EQ(value->text(), "0 %");
    EXPECT_DOUBLE_EQ(model->strength(), 0.0);
    slider->setValue(slider->maximum());
    EXPECT_EQ(value->text(), "100 %");
    EXPECT_DOUBLE_EQ(model->strength(), 100.0);

    // A strength set by the model moves the slider without a write of its own.
    writes = 0;
    model->setStrength(42.5);
    EXPECT_EQ(slider->value(), 4250);
    EXPECT_EQ(value->text(), "42 %");
    EXPECT_EQ(writes, 1);

    // A click on the track takes the handle there, not a tenth of the way.
    QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                      QPoint(slider->width() / 10, slider->height() / 2));
    EXPECT_NEAR(model->strength(), 10.0, 4.0);
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));
}

} // namespace
} // namespace taln::test
