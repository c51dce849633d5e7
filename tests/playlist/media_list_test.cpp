// The media list file: the writer against byte arrays assembled by hand from
// the record layout, the reader on those and on damaged or hostile data, and
// the atomic file replacement.
#include "playlist/media_list.h"

#include "fifo_watchdog.h"
#include "files.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace pelu::player {
namespace {

namespace fs = std::filesystem;

// Little helper to spell out expected bytes field by field.
class Hand {
public:
    Hand& i32(std::int32_t v)
    {
        const auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i)
            bytes_.append(char((u >> (8 * i)) & 0xFF));
        return *this;
    }
    Hand& u8(int v)
    {
        bytes_.append(char(v));
        return *this;
    }
    Hand& raw(const QByteArray& b)
    {
        bytes_.append(b);
        return *this;
    }
    Hand& hex(const char* h)
    {
        bytes_.append(QByteArray::fromHex(QByteArray(h).replace(' ', "")));
        return *this;
    }
    // A length-prefixed string of raw bytes.
    Hand& str(const QByteArray& b) { return i32(static_cast<std::int32_t>(b.size())).raw(b); }
    // The 60-byte attribute block of a playlist row with state bits and image index.
    Hand& attributes(int state, std::int32_t image)
    {
        u8(state & 0xFF).u8(state >> 8).hex("0000");
        i32(image);
        hex("ffffffff"             // state image index
            "00000000"             // force expand buttons
            "00000000 00000000 00000000" // colours
            "01 01 01 00 00 00 0000"      // parent colours, parent style, check box enabled/state/shown/type, pad
            "ffffffff ffffffff"    // second image, second state image
            "01 00 01 00 01 000000" // enabled, hidden, use background colour, multi-line, height from list, pad
            "00000000"             // own row height
            "00 00 0000");         // suppress lines, HTML, pad
        return *this;
    }
    const QByteArray& bytes() const { return bytes_; }

private:
    QByteArray bytes_;
};

// The root record of a list of `rows` rows.
Hand root(std::int32_t rows)
{
    Hand h;
    h.i32(-10).str("").attributes(0, -1).u8(1).i32(-1).str("").i32(0).u8(0).i32(rows);
    return h;
}

// A version -10 row record with six columns.
void row_record(Hand& h, const QByteArray& text, int state, std::int32_t image, const QList<QByteArray>& columns)
{
    h.i32(-10).str(text).attributes(state, image).u8(1).i32(-1).str("").i32(static_cast<std::int32_t>(columns.size()));
    for (const QByteArray& c : columns)
        h.str(c);
    h.u8(0).i32(0);
}

PlaylistRow make_row(const QString& text, const QStringList& columns, int image = -1, bool selected = false)
{
    PlaylistRow row;
    row.text = text;
    row.columns = columns;
    row.image_index = image;
    row.selected = selected;
    return row;
}

QStringList six(const QString& path, const QString& key)
{
    return {QStringLiteral("3:07.250"), QStringLiteral("Artist"), path, QStringLiteral("187250"), key, QString()};
}

TEST(MediaListWriter, EmptyPlaylistIsTheRootRecordAlone)
{
    const QByteArray bytes = WriteMediaList({});
    EXPECT_EQ(bytes.size(), 86);
    EXPECT_EQ(bytes.toHex(' '), root(0).bytes().toHex(' '));
}

TEST(MediaListWriter, RowsMatchTheRecordLayoutByteForByte)
{
    const std::vector<PlaylistRow> rows = {
        make_row(QStringLiteral("1. Intro"), six(QStringLiteral("/m/Intro.mp3"), QStringLiteral("0")), -1),
        make_row(QStringLiteral("2. Playing"), six(QStringLiteral("/m/Playing.mp3"), QStringLiteral("1")), 0),
        make_row(QStringLiteral("3. Blink"), six(QStringLiteral("/m/Blink.mp3"), QStringLiteral("2")), 1, true),
        make_row(QStringLiteral("4. "), six(QStringLiteral("/m/.mp3"), QStringLiteral("3")), 3),
        make_row(QStringLiteral("5. Café 日本"), six(QStringLiteral("/m/Café 日本.mp3"), QStringLiteral("2")), -1),
    };
    Hand expected = root(5);
    auto cols = [](const QByteArray& path, const QByteArray& key) {
        return QList<QByteArray>{"3:07.250", "Artist", path, "187250", key, ""};
    };
    row_record(expected, "1. Intro", 0, -1, cols("/m/Intro.mp3", "0"));
    row_record(expected, "2. Playing", 0, 0, cols("/m/Playing.mp3", "1"));
    row_record(expected, "3. Blink", 4, 1, cols("/m/Blink.mp3", "2"));
    row_record(expected, "4. ", 0, 3, cols("/m/.mp3", "3"));
    // Non-ASCII text is written as its UTF-8 bytes.
    row_record(expected, "5. Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", 0, -1,
               cols("/m/Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.mp3", "2"));
    EXPECT_EQ(WriteMediaList(rows).toHex(' '), expected.bytes().toHex(' '));
}

TEST(MediaListReader, RestoresWhatTheWriterWroteExceptSelection)
{
    std::vector<PlaylistRow> rows;
    for (int image : {-1, 0, 1, 3}) {
        rows.push_back(make_row(QStringLiteral("%1. Song").arg(rows.size() + 1),
                                six(QStringLiteral("/music/Song %1.mp3").arg(image), QString::number(rows.size())),
                                image, image == 1));
    }
    rows.push_back(make_row(QString(), {QString(), QString(), QString(), QString(), QString(), QString()}));
    rows.push_back(make_row(QStringLiteral("6. Ünïcödé ♫"), six(QStringLiteral("/Müsik/♫.mp3"), QStringLiteral("5"))));

    std::vector<PlaylistRow> back;
    ReadMediaList(WriteMediaList(rows), back);
    ASSERT_EQ(back.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PlaylistRow want = rows[i];
        want.selected = false; // the selection bit is cleared on reading
        EXPECT_EQ(back[i], want) << "row " << i;
    }
    // The playing image survives a save and a load.
    EXPECT_EQ(back[1].image_index, 0);
    EXPECT_EQ(back[2].image_index, 1);
}

TEST(MediaListReader, ClearsTheRowsItIsGiven)
{
    std::vector<PlaylistRow> rows = {make_row(QStringLiteral("old"), six(QStringLiteral("/x"), QStringLiteral("0")))};
    ReadMediaList(WriteMediaList({}), rows);
    EXPECT_TRUE(rows.empty());
}

TEST(MediaListReader, OldRecordsWithoutVersionAndWithoutHint)
{
    Hand h;
    // Old root: text length 0, no attribute block, no colour byte, hint marker
    // and empty hint, no columns, no styles flag, two children.
    h.i32(0).i32(-1).str("").i32(0).i32(2);
    // Old row without hint: the value after the text is the column count.
    h.str("1. Old").i32(6).str("0:01.000").str("[notag]").str("/old/Old.mp3").str("1000").str("0").str("").i32(0);
    // A current row without the hint marker, state bits 2 and 4 set.
    h.i32(-10).str("2. New").attributes(2 | 4 | 1, 3).u8(1).i32(6);
    for (const char* c : {"0:02.000", "Band", "/new/New.mp3", "2000", "1", ""})
        h.str(c);
    h.u8(0).i32(0);

    std::vector<PlaylistRow> rows;
    ReadMediaList(h.bytes(), rows);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, QStringLiteral("1. Old"));
    EXPECT_EQ(rows[0].image_index, -1); // old records carry no image
    EXPECT_EQ(rows[0].columns.value(2), QStringLiteral("/old/Old.mp3"));
    EXPECT_EQ(rows[1].text, QStringLiteral("2. New"));
    EXPECT_EQ(rows[1].image_index, 3);
    EXPECT_FALSE(rows[1].selected);
    EXPECT_EQ(rows[1].columns,
              (QStringList{"0:02.000", "Band", "/new/New.mp3", "2000", "1", ""}));
}

TEST(MediaListReader, ShortColumnListsArePaddedAndNestedRowsFollowTheirParent)
{
    Hand h;
    h.i32(0).i32(0).i32(2);                                 // old root, two children
    h.str("a").i32(2).str("x").str("y").i32(1);             // two columns, one child
    h.str("a.1").i32(0).i32(0);                             // nested row, no columns
    h.str("b").i32(0).i32(0);
    std::vector<PlaylistRow> rows;
    ReadMediaList(h.bytes(), rows);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].columns, (QStringList{"x", "y", "", "", "", ""}));
    EXPECT_EQ(rows[1].text, QStringLiteral("a.1"));
    EXPECT_EQ(rows[1].columns.size(), 6);
    EXPECT_EQ(rows[2].text, QStringLiteral("b"));
}

// A list of two good rows; `third` is appended as the third row record.
QByteArray two_rows_then(const Hand& third)
{
    Hand h = root(3);
    row_record(h, "1. One", 0, -1, {"0:01.000", "A", "/1.mp3", "1000", "0", ""});
    row_record(h, "2. Two", 0, 0, {"0:02.000", "B", "/2.mp3", "2000", "1", ""});
    return h.bytes() + third.bytes();
}

void expect_fails_keeping_two(const QByteArray& bytes, const std::string& message)
{
    std::vector<PlaylistRow> rows;
    EXPECT_RAISES(ReadMediaList(bytes, rows), EMediaListError, message);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].text, QStringLiteral("2. Two"));
    EXPECT_EQ(rows[1].image_index, 0);
}

TEST(MediaListReader, DamagedStringHeadersStopTheReadAndKeepTheRowsBefore)
{
    Hand negative;
    negative.i32(-10).i32(-5);
    expect_fails_keeping_two(two_rows_then(negative), kInvalidStringHeader);

    // A length far beyond the bytes left must not be allocated.
    Hand absurd_text;
    absurd_text.i32(-10).i32(0x7FFFFFF0).raw("abc");
    expect_fails_keeping_two(two_rows_then(absurd_text), kInvalidStringHeader);

    Hand absurd_column;
    absurd_column.i32(-10).str("3. x").attributes(0, -1).u8(1).i32(-1).str("").i32(6).i32(1 << 30);
    expect_fails_keeping_two(two_rows_then(absurd_column), kInvalidStringHeader);

    Hand absurd_columns;
    absurd_columns.i32(-10).str("3. x").attributes(0, -1).u8(1).i32(-1).str("").i32(0x7FFFFFFF).i32(0);
    expect_fails_keeping_two(two_rows_then(absurd_columns), kInvalidStringHeader);

    Hand negative_hint;
    negative_hint.i32(-10).str("3. x").attributes(0, -1).u8(1).i32(-1).i32(-2);
    expect_fails_keeping_two(two_rows_then(negative_hint), kInvalidStringHeader);

    Hand truncated;
    truncated.i32(-10).str("3. x").hex("0000");
    expect_fails_keeping_two(two_rows_then(truncated), "Stream read error");

    Hand old_version;
    old_version.i32(-5).str("3. x");
    expect_fails_keeping_two(two_rows_then(old_version), "Unsupported media list record version -5");
}

TEST(MediaListReader, AnAbsurdRowCountStopsBeforeReadingRows)
{
    Hand h;
    h.i32(-10).str("").attributes(0, -1).u8(1).i32(-1).str("").i32(0).u8(0).i32(0x7FFFFFFF);
    std::vector<PlaylistRow> rows;
    EXPECT_THROW(ReadMediaList(h.bytes(), rows), EMediaListError);
    EXPECT_TRUE(rows.empty());

    // The count a row promises is checked too, against what is left.
    Hand nested = root(1);
    nested.i32(0).i32(0).i32(1000000);
    EXPECT_RAISES(ReadMediaList(nested.bytes(), rows), EMediaListError, kInvalidStringHeader);
}

TEST(MediaListReader, TextThatIsNotUtf8IsReadAsWindows1252)
{
    Hand h = root(1);
    row_record(h, "1. Caf\xE9 \x80 \x93quoted\x94", 0, -1,
               {"0:01.000", "Bj\xF6rk", "C:\\M\xFAsica\\x.mp3", "1000", "0", ""});
    std::vector<PlaylistRow> rows;
    ReadMediaList(h.bytes(), rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, QString::fromUtf8("1. Café € “quoted”"));
    EXPECT_EQ(rows[0].columns[1], QString::fromUtf8("Björk"));
    EXPECT_EQ(rows[0].columns[2], QString::fromUtf8("C:\\Música\\x.mp3"));

    EXPECT_EQ(DecodeMediaListText("\xC3\xA9", 2), QString::fromUtf8("é")); // valid UTF-8 stays UTF-8
    EXPECT_EQ(DecodeMediaListText("\xC3", 1), QString::fromUtf8("Ã"));    // a cut sequence is not
    EXPECT_EQ(DecodeMediaListText("\xED\xA0\x80", 3), QString::fromUtf8("í\u00A0€")); // nor a surrogate
    EXPECT_EQ(DecodeMediaListText("\xC0\xAF", 2), QString::fromUtf8("À¯"));            // nor an overlong form
    EXPECT_EQ(DecodeMediaListText("\x81", 1), QString(QChar(0x81)));
}

// --- files ---------------------------------------------------------------

using test::qpath;

std::vector<PlaylistRow> sample_rows(int count, const QString& tag)
{
    std::vector<PlaylistRow> rows;
    for (int i = 0; i < count; ++i) {
        rows.push_back(make_row(QStringLiteral("%1. %2").arg(i + 1).arg(tag),
                                six(QStringLiteral("/music/%1/%2.mp3").arg(tag).arg(i), QString::number(i)), 3));
    }
    return rows;
}

std::vector<std::string> folder_names(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(MediaListFile, SaveReplacesAndLoadReadsBack)
{
    test::TempDir dir;
    const QString path = qpath(dir.file("es.xes"));
    SaveMediaListFile(path, sample_rows(3, "A"));
    SaveMediaListFile(path, sample_rows(2, "B"));
    std::vector<PlaylistRow> rows;
    LoadMediaListFile(path, rows);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].text, QStringLiteral("2. B"));
    // No temporary file is left behind.
    EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"es.xes"});
}

TEST(MediaListFile, KeepsPermissionsAndFollowsSymbolicLinks)
{
    test::TempDir dir;
    const fs::path real = dir.file("real.bri");
    SaveMediaListFile(qpath(real), sample_rows(1, "A"));
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    fs::create_symlink(real, dir.file("link.bri"));
    SaveMediaListFile(qpath(dir.file("link.bri")), sample_rows(2, "B"));
    EXPECT_TRUE(fs::is_symlink(dir.file("link.bri")));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::vector<PlaylistRow> rows;
    LoadMediaListFile(qpath(real), rows);
    EXPECT_EQ(rows.size(), 2u);
}

TEST(MediaListFile, AFailedSaveLeavesTheOldFileAndNamesTheSystemError)
{
    test::TempDir dir;
    EXPECT_RAISES(SaveMediaListFile(qpath(dir.file("missing/list.bri")), sample_rows(1, "A")), EMediaListError, "No such file or directory");
    // A folder where the file should be: the rename fails; the temporary file goes.
    fs::create_directory(dir.file("taken.bri"));
    EXPECT_THROW(SaveMediaListFile(qpath(dir.file("taken.bri")), sample_rows(1, "A")), EMediaListError);
    EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"taken.bri"});
    EXPECT_TRUE(fs::is_directory(dir.file("taken.bri")));
}

TEST(MediaListFile, LoadErrorsKeepTheRowsReadSoFar)
{
    test::TempDir dir;
    std::vector<PlaylistRow> rows = sample_rows(1, "stale");
    EXPECT_THROW(LoadMediaListFile(qpath(dir.file("none.bri")), rows), EMediaListError);
    EXPECT_TRUE(rows.empty());

    QByteArray damaged = WriteMediaList(sample_rows(4, "A"));
    damaged.chop(10);
    test::write_file(dir.file("cut.bri"), test::Bytes(damaged.begin(), damaged.end()));
    EXPECT_THROW(LoadMediaListFile(qpath(dir.file("cut.bri")), rows), EMediaListError);
    EXPECT_EQ(rows.size(), 3u);
}

TEST(MediaListFile, OnlyRegularFilesOfBoundedSizeAndRowCountAreRead)
{
    test::TempDir dir;
    std::vector<PlaylistRow> rows;
    auto refusal = [&](const fs::path& file) -> std::string {
        try {
            LoadMediaListFile(qpath(file), rows);
        } catch (const EMediaListError& e) {
            return e.what();
        }
        return "read";
    };
    // Neither a FIFO nor a device, however it is reached, is waited on or read.
    std::string fifo_answer;
    EXPECT_TRUE(test::returns_without_a_writer(dir.file("fifo.bri"), [&] { fifo_answer = refusal(dir.file("fifo.bri")); }));
    EXPECT_NE(fifo_answer.find("is not a regular file"), std::string::npos) << fifo_answer;
    fs::create_symlink("/dev/zero", dir.file("zero.bri"));
    EXPECT_NE(refusal(dir.file("zero.bri")).find("is not a regular file"), std::string::npos);
    // As large as an M3U may be, and no larger.
    { std::ofstream(dir.file("huge.bri")); }
    fs::resize_file(dir.file("huge.bri"), kMaxMediaListBytes + 1);
    EXPECT_NE(refusal(dir.file("huge.bri")).find("too large"), std::string::npos);
    // Minimal records (12 bytes each) would cost far more memory than bytes.
    Hand minimal;
    minimal.i32(0).i32(0).i32(100000);
    for (int i = 0; i < 100000; ++i)
        minimal.i32(0).i32(0).i32(0);
    test::write_file(dir.file("minimal.bri"), test::Bytes(minimal.bytes().begin(), minimal.bytes().end()));
    EXPECT_NE(refusal(dir.file("minimal.bri")).find("more rows than its size allows"), std::string::npos);
    EXPECT_TRUE(rows.empty());
    // A list of ordinary rows, as many, is read.
    SaveMediaListFile(qpath(dir.file("many.bri")), sample_rows(100000, "A"));
    EXPECT_EQ(refusal(dir.file("many.bri")), "read");
    EXPECT_EQ(rows.size(), 100000u);
}

} // namespace
} // namespace pelu::player
