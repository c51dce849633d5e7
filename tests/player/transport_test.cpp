// The band's transport driven as a user drives it: Play, Stop, Pause, double
// click, stepping, holding, the automatic advance, Loop Track, the ended state,
// and the displays that follow playback.
#include "band_fixture.h"
#include "frame_log.h"

#include "audio/connector.h"
#include "audio/mixer.h"
#include "widgets/bitmap_slider.h"
#include "widgets/picture_box.h"

#include <QAction>
#include <QScopeGuard>
#include <QTimer>

namespace pelu::player::test {
namespace {

class Transport : public BandFixture {
protected:
    // Three one-second titles at 50 x real time: a whole playlist in about 60 ms
    // of sound per title.
    void AddThree()
    {
        Form().AddFiles({Music("one.mp3"), Music("two.mp3"), Music("three.mp3")});
        ASSERT_EQ(Rows(), 3);
    }
};

TEST_F(Transport, BeforeAnythingPlaysTheBandIsReady)
{
    EXPECT_EQ(Status(), "Corvel-Ready");
    EXPECT_EQ(TimeText(), "0:00:00");
    EXPECT_EQ(BitRateText(), "---");
    EXPECT_FALSE(Form().Playing());
}

TEST_F(Transport, PlayAdvancesThroughEveryRowAndEndsInTheEndedState)
{
    AddThree();
    auto& starts = RecordStarts();
    SelectOnly(0);
    Form().ImageButton1Click();
    EXPECT_TRUE(OutputPlaying());
    EXPECT_EQ(Status(), "Playing -one.mp3");
    EXPECT_EQ(Icon(0), 0);
    EXPECT_EQ(BitRateText(), "128");

    ASSERT_TRUE(wait_until([&] { return !OutputPlaying() && Status() == "Corvel-Ready"; }));
    ASSERT_EQ(starts.size(), 3u);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(starts[row].row, row);
    EXPECT_EQ(starts[1].status, "Playing -two.mp3");
    EXPECT_EQ(starts[2].status, "Playing -three.mp3");
    EXPECT_EQ(Icon(0), 3);
    EXPECT_EQ(Icon(1), 3);
    EXPECT_EQ(Selected(), QList<int>{2});

    // The ended state: the displays are reset, the playing flag stays set.
    EXPECT_TRUE(Form().Playing());
    EXPECT_EQ(TimeText(), "0:00:00");
    EXPECT_EQ(C().seek->Position(), 0);
    EXPECT_EQ(Icon(2), 3);
    EXPECT_EQ(BitRateText(), "---");
    EXPECT_FALSE(Form().Timer("Timer1")->isActive());
    EXPECT_TRUE(Form().Timer("Timer4")->isActive());

    // Stop in the ended state changes nothing a user sees.
    Form().ImageButton4Click();
    EXPECT_FALSE(Form().Playing());
    EXPECT_EQ(Status(), "Corvel-Ready");
    EXPECT_EQ(TimeText(), "0:00:00");
    EXPECT_EQ(Icon(2), 3);
}

TEST_F(Transport, StopResetsTheDisplaysAndLeavesTheRowWithoutIcon)
{
    // The played title long enough (almost 2 s at 50 x) to be still playing
    // when Stop comes on a busy machine under a sanitizer.
    Form().AddFiles({Music("one.mp3", 1.0), Music("two.mp3", 90.0)});
    SelectOnly(1);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    QTest::qWait(30);
    Form().ImageButton4Click();
    EXPECT_FALSE(Form().Playing());
    // A buffer handler running at the click finishes the stop a moment later.
    ASSERT_TRUE(WaitForStop());
    EXPECT_EQ(Status(), "Corvel-Ready");
    EXPECT_EQ(TimeText(), "0:00:00");
    EXPECT_EQ(Icon(1), 3);
    EXPECT_EQ(BitRateText(), "---");
    EXPECT_TRUE(C().analyser_idle->isVisible());
    EXPECT_FALSE(Form().Timer("Timer4")->isActive());
}

TEST_F(Transport, LoopTrackPlaysTheLastRowAgainAndALoneSongForEver)
{
    Form().AddFiles({Music("only.mp3")});
    Form().LoopTrack1Click();
    EXPECT_TRUE(Form().MenuItem("LoopTrack1")->isChecked());
    SelectOnly(0);
    const auto& starts = RecordStarts();
    Form().ImageButton1Click();
    ASSERT_TRUE(wait_until([&] { return starts.size() >= 3; }));
    EXPECT_TRUE(OutputPlaying());
    EXPECT_EQ(Form().CurrentIndex(), 0);
    EXPECT_EQ(Status(), "Playing -only.mp3");

    // Looping off: the title ends and the band comes to rest.
    Form().LoopTrack1Click();
    EXPECT_FALSE(Form().MenuItem("LoopTrack1")->isChecked());
    ASSERT_TRUE(wait_until([&] { return !OutputPlaying() && Status() == "Corvel-Ready"; }));
}

TEST_F(Transport, LoopTrackRepeatsAMiddleRowWithoutMoving)
{
    AddThree();
    Form().LoopTrack1Click();
    SelectOnly(1);
    const auto& starts = RecordStarts();
    Form().ImageButton1Click();
    ASSERT_TRUE(wait_until([&] { return starts.size() >= 3; }));
    EXPECT_EQ(Form().CurrentIndex(), 1);
    EXPECT_EQ(Status(), "Playing -two.mp3");
    Form().ImageButton4Click();
}

TEST_F(Transport, PlayWithTwoRowsSelectedOnlyStops)
{
    AddThree();
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    C().playlist->SetRowSelected(2, true);
    Form().ImageButton1Click();
    EXPECT_FALSE(OutputPlaying());
    EXPECT_FALSE(Form().Playing());
    EXPECT_EQ(Status(), "Corvel-Ready");
    EXPECT_EQ(Icon(0), 3);
}

TEST_F(Transport, PlayWithNothingSelectedStartsNothing)
{
    AddThree();
    Form().ImageButton1Click();
    EXPECT_FALSE(OutputPlaying());
    EXPECT_EQ(Status(), "Corvel-Ready");
}

TEST_F(Transport, DoubleClickDuringPlaybackTurnsLoopTrackOff)
{
    AddThree();
    Form().LoopTrack1Click();
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    SelectOnly(2);
    Form().ElTree1DblClick();
    EXPECT_EQ(Form().LoopMode(), 1);
    EXPECT_FALSE(Form().MenuItem("LoopTrack1")->isChecked());
    EXPECT_EQ(Form().CurrentIndex(), 2);
    EXPECT_EQ(Status(), "Playing -three.mp3");
    EXPECT_EQ(Icon(0), 3);
    EXPECT_EQ(Icon(2), 0);
    // Without looping the last row ends the playlist.
    ASSERT_TRUE(wait_until([&] { return !OutputPlaying() && Status() == "Corvel-Ready"; }));
}

TEST_F(Transport, LastHighXIsClearedByEveryStart)
{
    AddThree();
    Form().SetLastHighX(2);
    SelectOnly(0);
    Form().ImageButton1Click();
    EXPECT_EQ(Form().LastHighX(), 0);
    Form().SetLastHighX(2);
    ASSERT_TRUE(wait_until([&] { return Form().CurrentIndex() >= 1; }));
    EXPECT_EQ(Form().LastHighX(), 0); // the advance starts too
    Form().ImageButton4Click();
}

TEST_F(Transport, TheBitRateLabelFollowsTheTitle)
{
    Form().AddFiles({Music("low.mp3", 1.0, 64), Music("high.mp3", 30.0, 192)});
    SelectOnly(0);
    Form().ImageButton1Click();
    EXPECT_EQ(BitRateText(), "64");
    ASSERT_TRUE(wait_until([&] { return Form().CurrentIndex() == 1; }));
    EXPECT_EQ(BitRateText(), "192");
    Form().ImageButton4Click();
    ASSERT_TRUE(WaitForStop());
    EXPECT_EQ(BitRateText(), "---");
}

TEST_F(Transport, TheFirstPauseAfterStopOrANewStartPauses)
{
    AddThree();
    SelectOnly(0);
    Form().ImageButton1Click();
    Form().ImageButton6Click();
    EXPECT_TRUE(Out().IsPaused());
    Form().ImageButton4Click();
    SelectOnly(1);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    Form().ImageButton6Click();
    EXPECT_TRUE(Out().IsPaused()) << "the press after a stop and a new start pauses";
    Form().ImageButton6Click();
    EXPECT_FALSE(Out().IsPaused());

    // Paused, then the user starts another title: the next press pauses again.
    Form().ImageButton6Click();
    ASSERT_TRUE(Out().IsPaused());
    SelectOnly(2);
    Form().ElTree1DblClick();
    ASSERT_TRUE(OutputPlaying());
    EXPECT_FALSE(Out().IsPaused());
    Form().ImageButton6Click();
    EXPECT_TRUE(Out().IsPaused());
    Form().ImageButton4Click();
}

// Pause pressed while nothing plays, then Play on the same title (a new file
// would reopen the output anyway): it is heard, not held.
TEST_F(Transport, PauseWhileStoppedDoesNotHoldTheNextPlay)
{
    AddThree();
    SelectOnly(0);
    Form().ImageButton1Click();
    Form().ImageButton4Click();
    ASSERT_TRUE(WaitForStop());
    Form().ImageButton6Click();
    Form().ImageButton1Click();
    EXPECT_TRUE(OutputPlaying());
    EXPECT_FALSE(Out().IsPaused());
    // It is heard: the titles play through to the end of the list.
    EXPECT_TRUE(wait_until([&] { return !OutputPlaying() && Status() == "Corvel-Ready"; }, 5000));
    EXPECT_EQ(Form().CurrentIndex(), 2);
}

// A sound card that fails is not a bad file: the band stops on the row it was
// playing and names the device's trouble; no title is called unplayable.
TEST_F(Transport, AFailingDeviceStopsTheAdvanceOnItsRowAndSaysWhy)
{
    using platform::wave::SimFaults;
    Form().AddFiles({Music("one.mp3", 5.0), Music("two.mp3"), Music("three.mp3")});
    const auto clear = qScopeGuard([] { SimFaults::clear(); });
    SimFaults::fail_next_device_after(20, platform::wave::kErrNoDriver);
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    // Unplugged: it does not open again either.
    SimFaults::fail_next_opens(10, platform::wave::kErrNoDriver);
    ASSERT_TRUE(wait_until([&] { return !OutputPlaying() && !Status().startsWith("Playing"); }));
    QTest::qWait(50);
    EXPECT_EQ(Status(), "WaveOutWrite: There is no driver installed on your system");
    EXPECT_EQ(Form().CurrentIndex(), 0);
    EXPECT_FALSE(Form().Playing());
    EXPECT_EQ(Icon(0), 3);
    EXPECT_EQ(Selected(), QList<int>{0});

    // Play while the device cannot be opened: the device is named, not the file.
    SelectOnly(1);
    Form().ImageButton1Click();
    EXPECT_FALSE(OutputPlaying());
    EXPECT_EQ(Status(), "WaveOutOpen: There is no driver installed on your system");
}

TEST_F(Transport, ABadFileInTheMiddleIsSkippedAndNamed)
{
    Form().AddFiles({Music("one.mp3"), Music("two.mp3")});
    // The middle row's file goes bad after it was added.
    pelu::test::write_file(Column(1, 2).toStdString(), pelu::test::garbage(5000));
    Form().AddFiles({Music("three.mp3")});
    ASSERT_EQ(Rows(), 3);
    auto& starts = RecordStarts();
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(wait_until([&] { return !OutputPlaying() && Status() == "Corvel-Ready"; }));
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].row, 2);
    EXPECT_EQ(starts[1].status, "Playing -three.mp3");
    EXPECT_EQ(Icon(1), 3);
}

TEST_F(Transport, APlaylistOfBadFilesEndsInsteadOfLooping)
{
    const QString good = Music("good.mp3");
    Form().AddFiles({good, Music("bad1.mp3"), Music("bad2.mp3")});
    for (int row : {1, 2})
        pelu::test::write_file(Column(row, 2).toStdString(), pelu::test::garbage(5000));
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(wait_until([&] { return Form().CurrentIndex() == 2 && !OutputPlaying(); }));
    QTest::qWait(50);
    EXPECT_FALSE(OutputPlaying());
    EXPECT_EQ(Status(), "Cannot play -bad2.mp3");
    EXPECT_EQ(TimeText(), "0:00:00");
}

TEST_F(Transport, PlayOnAMissingFileSaysSoAndStartsNothing)
{
    Form().AddFiles({Music("gone.mp3")});
    std::filesystem::remove(Column(0, 2).toStdString());
    SelectOnly(0);
    Form().ImageButton1Click();
    EXPECT_FALSE(OutputPlaying());
    EXPECT_EQ(Status(), "Cannot play -gone.mp3");
    EXPECT_FALSE(Form().Playing());
}

TEST_F(Transport, TheTimeDisplayShowsElapsedOrRemainingTime)
{
    Form().audiox()->SetFileName(Wave("long.wav", 4));
    Form().audiox()->SetPosition(1250);
    Form().Timer1Timer();
    EXPECT_EQ(TimeText(), "0:01.250");
    Form().emberxMouseDown();
    EXPECT_EQ(Form().emberxix(), 1);
    Form().Timer1Timer();
    const qint64 remaining = Form().audiox()->Duration() - 1250;
    EXPECT_EQ(TimeText(), "-" + QString::asprintf("0:%2.2lld.%3.3lld", remaining / 1000, remaining % 1000));
    Form().emberxMouseDown();
    EXPECT_EQ(Form().emberxix(), 0);
}

// The displays that change at one moment are painted together: while a title
// plays in real time (the analysers, the time display, the seek slider and the
// status line all moving on their own periods) the band's window gets one
// frame per moment, never two within half a screen refresh, and every display
// still moves at its own pace.
class RealTimeDisplays : public BandFixture {
protected:
    RealTimeDisplays() : BandFixture("sim:1") {}
};

TEST_F(RealTimeDisplays, TheDisplaysOfOneMomentArePaintedInOneFrame)
{
    Form().AddFiles({Music("long.mp3", 4.0)});
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    QTest::qWait(300); // the start's own repaints are done
    pelu::test::FrameLog frames(Form().window());
    QStringList times;
    const int strip_x = C().status->StripX();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1500) {
        QTest::qWait(5);
        if (times.isEmpty() || times.last() != TimeText())
            times << TimeText();
    }
    EXPECT_GE(times.size(), 10) << "the time display moves every tenth of a second";
    EXPECT_GE(std::abs(C().status->StripX() - strip_x), 15) << "the status line scrolls 20 pixels a second";
    EXPECT_GT(C().seek->Position(), 0);
    ASSERT_GT(frames.Frames(), 15);
    // Paints lag their frame by a varying moment, so only frames closer than
    // half a refresh count as two frames of one moment; allow for a stall.
    EXPECT_LE(frames.CloserThan(TMMConnector::kFrameUs / 2), frames.Frames() / 20)
        << "of " << frames.Frames() << " frames";
    const qint64 elapsed_us = clock.nsecsElapsed() / 1000;
    EXPECT_LE(frames.Frames(), elapsed_us / (TMMConnector::kFrameUs - 1000) + 2) << "at most one per refresh";
}

// Displays nobody sees cost nothing: with every analyser switched off, or the
// band hidden, the connector is fed nothing and its pump does not turn, and
// the status line stands still; shown again, they move again.
TEST_F(RealTimeDisplays, DisplaysNobodySeesAreNotFed)
{
    Form().AddFiles({Music("long.mp3", 4.0)});
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    TMMConnector& connector = *Form().MMConnector1();
    int passes = 0;
    connector.OnTrigger = [&](QObject*) { ++passes; };
    auto fed = [&] {
        return connector.RefreshCount(TMMConnector::gLevels) + connector.RefreshCount(TMMConnector::gSpectra);
    };
    auto still = [&](const char* what) {
        QTest::qWait(100); // what was due before
        const int fed_before = fed();
        passes = 0;
        QTest::qWait(300);
        EXPECT_EQ(fed(), fed_before) << what;
        EXPECT_EQ(passes, 0) << what;
    };
    auto moving = [&](const char* what) {
        const int fed_before = fed();
        EXPECT_TRUE(wait_until([&] { return fed() > fed_before; }, 2000)) << what;
    };
    moving("playing");
    auto toggle_all = [&] {
        Form().ViewPELUSpectrum1Click();
        Form().VStereoLMeter1Click();
        Form().VStereoRMeter1Click();
    };
    toggle_all();
    still("every analyser switched off");
    toggle_all();
    moving("switched on again");
    Form().hide();
    still("the band hidden");
    EXPECT_FALSE(C().status->IsScrolling());
    Form().show();
    moving("shown again");
    EXPECT_TRUE(C().status->IsScrolling());
    connector.OnTrigger = nullptr;
}

class Stepping : public BandFixture {
protected:
    void SetUp() override
    {
        BandFixture::SetUp();
        Form().audiox()->SetFileName(Wave("ten.wav", 10));
    }
    qint64 StepBackFrom(qint64 ms)
    {
        Form().audiox()->SetPosition(ms);
        Form().ImageButton2Click();
        return Form().audiox()->Position();
    }
};

TEST_F(Stepping, StepBackTakesTheStatedSteps)
{
    EXPECT_EQ(StepBackFrom(5000), 1495);
    EXPECT_EQ(StepBackFrom(1500), 90);
    EXPECT_EQ(StepBackFrom(31), 21);
    EXPECT_EQ(StepBackFrom(30), 30);
    EXPECT_EQ(StepBackFrom(20), 20);
    EXPECT_EQ(StepBackFrom(10), 10);
}

TEST_F(Stepping, StepForwardGoesTwoSeconds)
{
    Form().audiox()->SetPosition(1000);
    Form().ImageButton3Click();
    EXPECT_EQ(Form().audiox()->Position(), 3000);
}

TEST_F(Stepping, HoldingRewindStopsRepeatingAtThreeHundred)
{
    Form().audiox()->SetPosition(1000);
    Form().ImageButton2MouseDown();
    EXPECT_TRUE(Form().Timer("timerup")->isActive());
    ASSERT_TRUE(wait_until([&] { return Form().audiox()->Position() <= 300; }, 3000));
    QTest::qWait(200);
    EXPECT_EQ(Form().audiox()->Position(), 200);
    Form().ImageButton2MouseUp();
    EXPECT_FALSE(Form().Timer("timerup")->isActive());

    // At 300 or less holding does not even start.
    Form().audiox()->SetPosition(300);
    Form().ImageButton2MouseDown();
    EXPECT_FALSE(Form().Timer("timerup")->isActive());
}

TEST_F(Stepping, HoldingForwardRepeatsUntilReleased)
{
    Form().audiox()->SetPosition(0);
    Form().ImageButton3MouseDown();
    ASSERT_TRUE(wait_until([&] { return Form().audiox()->Position() >= 600; }, 3000));
    Form().ImageButton3MouseUp();
    const qint64 at_release = Form().audiox()->Position();
    QTest::qWait(150);
    EXPECT_EQ(Form().audiox()->Position(), at_release);
    EXPECT_EQ(at_release % 200, 0);
}

TEST_F(Transport, TheSeekSliderSeeksOnReleaseOnly)
{
    Form().AddFiles({Music("long.mp3", 8.0)});
    SelectOnly(0);
    Form().ImageButton1Click();
    Form().ImageButton6Click();
    ASSERT_TRUE(Out().IsPaused());
    EXPECT_EQ(C().seek->MaxValue(), int(Form().audiox()->Duration()));
    Form().MMSliderx1Track();
    EXPECT_TRUE(Form().Seeking());
    C().seek->SetPosition(5000);
    Form().Timer2Timer(); // the slider is not moved while the user holds it
    EXPECT_EQ(C().seek->Position(), 5000);
    Form().MMSliderx1TrackEnd();
    EXPECT_FALSE(Form().Seeking());
    // An MP3 seeks to a frame boundary: within one frame of the slider.
    EXPECT_NEAR(double(Form().audiox()->Position()), 5000.0, 27.0);
    Form().ImageButton4Click();
}

TEST_F(Transport, TheVolumeSliderMovesTheMasterVolume)
{
    Form();
    auto* mixer = Form().MMMixerSlider3();
    ASSERT_TRUE(mixer->IsEnabled());
    EXPECT_EQ(C().volume->MaxValue(), mixer->MaxValue());
    EXPECT_EQ(C().volume->Position(), mixer->Position());
    C().volume->SetPosition(mixer->MaxValue() / 4);
    Form().MMBitmapSlider1Track();
    EXPECT_EQ(mixer->Position(), mixer->MaxValue() / 4);
}

// A player starts the title the user asked for even when the old title's stop
// completes late (the output's thread was refilling a buffer when Stop came):
// the late stop notice must not advance past the chosen row.
class QuickSwitch : public BandFixture {
protected:
    QuickSwitch() : BandFixture("sim:0") {}
};

TEST_F(QuickSwitch, TheChosenTitlePlaysWhateverTheOldStopDoes)
{
    QStringList paths;
    // Long titles: decoded as fast as the machine can, a title still lasts far
    // longer than the few events each round processes.
    for (int i = 0; i < 4; ++i)
        paths << Music("t" + std::to_string(i) + ".mp3", 60.0);
    Form().AddFiles(paths);
    for (int round = 0; round < 40; ++round) {
        const int row = round % 3; // never the last: an advance would be visible
        SelectOnly(row);
        Form().ImageButton1Click();
        ASSERT_TRUE(Form().Playing());
        QCoreApplication::processEvents();
        // The chosen row stays the current one (it may finish and advance only by
        // playing to its end, which takes far longer than these few events).
        ASSERT_EQ(Form().CurrentIndex(), row) << "round " << round;
        ASSERT_EQ(Status(), QStringLiteral("Playing -t%1.mp3").arg(row)) << "round " << round;
        // Only the chosen row shows the playing icon, however late the old
        // title's stop completed.
        for (int other = 0; other < 4; ++other) {
            if (other != row) {
                ASSERT_TRUE(Icon(other) != 0 && Icon(other) != 1) << "round " << round << ", row " << other;
            }
        }
    }
    Form().ImageButton4Click();
    ASSERT_TRUE(WaitForStop());
}

} // namespace
} // namespace pelu::player::test
