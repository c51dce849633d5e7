// TMPEGAudioList: what Add returns, what each record is handed, OnAdded.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

using mpeginfo::TMPEGAudio;
using mpeginfo::TMPEGAudioList;


class ListTest : public ::testing::Test {
protected:
    TempDir dir;
    TMPEGAudioList list;
    Bytes stream = frames(frame_header(1, 3, 9, 0), 417, 4);
};

TEST_F(ListTest, AddReadsEachFileAndAppends)
{
    EXPECT_EQ(list.Add(qpath(dir.write("a.mp3", stream))), 0);
    EXPECT_EQ(list.Add(qpath(dir.write("b.mp3", prepend(garbage(100), stream)))), 1);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(1)->FirstFramePos(), 100);
    EXPECT_FALSE(list.Item(1)->AutoLoad());
    EXPECT_EQ(list.Item(2), nullptr);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ListTest, RecordsGetTheListDefaults)
{
    const auto file = qpath(dir.write("no artist here.mp3", stream));
    list.Add(file);
    TMPEGAudio* record = list.Item(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->DefaultArtist(), "");
    EXPECT_EQ(record->GuessedArtist(), "[notag]");
    EXPECT_EQ(record->GuessedTitle(), "no artist here.mp3");

    list.SetDefaultArtist("Various");
    list.SetSearchLimit(50);
    EXPECT_EQ(list.Add(file), 1);
    EXPECT_EQ(list.Item(1)->GuessedArtist(), "Various");
    EXPECT_EQ(list.Item(1)->SearchLimit(), 50);
    // The limit reaches the analysis: a late first frame is not found.
    list.SetOnReadError({});
    EXPECT_EQ(list.Add(qpath(dir.write("late.mp3", prepend(garbage(1000), stream)))), -1);
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(ListTest, FailuresFollowTheHandlersAnswer)
{
    int asked = 0;
    int answer = mpeginfo::idCancel;
    list.SetOnReadError([&](TMPEGAudio& sender) {
        ++asked;
        EXPECT_TRUE(sender.FileName().endsWith("missing.mp3"));
        return answer;
    });
    EXPECT_EQ(list.Add(qpath(dir.file("missing.mp3"))), -2);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(list.Count(), 0);
    answer = mpeginfo::idIgnore;
    EXPECT_EQ(list.Add(qpath(dir.file("missing.mp3"))), -1);
    EXPECT_EQ(list.Count(), 0);
    list.SetOnReadError({});
    EXPECT_EQ(list.Add(qpath(dir.write("noise.mp3", garbage(5000)))), -1);
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ListTest, DefaultHandlerIsTheInstalledDialog)
{
    QString shown;
    mpeginfo::set_read_error_dialog([&](const QString& text) {
        shown = text;
        return mpeginfo::idCancel;
    });
    EXPECT_EQ(list.Add(qpath(dir.file("missing.mp3"))), -2);
    mpeginfo::set_read_error_dialog({});
    EXPECT_EQ(shown, "Error openning file: " + qpath(dir.file("missing.mp3")));
    EXPECT_EQ(list.Count(), 0);

    TMPEGAudio record;
    record.SetFileName(qpath(dir.file("other.mp3")));
    mpeginfo::set_read_error_dialog([&](const QString& text) {
        shown = text;
        return mpeginfo::idIgnore;
    });
    EXPECT_EQ(TMPEGAudioList::OpeningErrorHandler()(record), mpeginfo::idIgnore);
    mpeginfo::set_read_error_dialog({});
    EXPECT_EQ(shown, "Error opening file: " + qpath(dir.file("other.mp3")));
}

TEST_F(ListTest, OnAddedSeesTheRecordAndMayRefuse)
{
    const auto file = qpath(dir.write("x.mp3", stream));
    QString seen;
    int first = 0, second = 0;
    bool accept = true;
    list.SetOnAdded([&](TMPEGAudio& record, const QString& name, int a, int b) {
        seen = name;
        first = a;
        second = b;
        EXPECT_EQ(record.BitRate(), 128);
        return accept;
    });
    EXPECT_EQ(list.Add(file), 0);
    EXPECT_EQ(seen, file);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    accept = false;
    EXPECT_EQ(list.Add(file), -2);
    EXPECT_EQ(list.Count(), 2) << "a refused record stays in the list";
}

} // namespace
} // namespace pelu::test
