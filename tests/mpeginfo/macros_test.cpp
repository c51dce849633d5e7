// The macro table and the template expander: item syntax, options, the
// record macros on a real analysed file, and the failure texts.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "mpeginfo/macros.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <stdexcept>

namespace pelu::test {
namespace {

using mpeginfo::MacroDefinitions;
using mpeginfo::TMPEGAudio;

const QString kNoEnd = QStringLiteral("<<<ERROR!!! No end of item definition!>>>");

QString expand(const QString& text, const TMPEGAudio* record = nullptr,
               const mpeginfo::MacroListContext* list = nullptr)
{
    return MacroDefinitions().Expand(text, record, list);
}

class RecordMacros : public ::testing::Test {
protected:
    void SetUp() override
    {
        record.SetAutoLoad(false);
        record.SetOnReadError({});
    }
    void load(const std::string& name, const Bytes& bytes)
    {
        record.SetFileName(QString::fromStdString(dir.write(name, bytes).string()));
        ASSERT_EQ(record.Analyse(), 0);
    }
    TempDir dir;
    TMPEGAudio record;
};

TEST(MacroSyntax, SpecialItems)
{
    EXPECT_EQ(expand("%%"), "%");
    EXPECT_EQ(expand("100%% sure"), "100% sure");
    EXPECT_EQ(expand("%65%"), "A");
    EXPECT_EQ(expand("%321%"), "A") << "the low 8 bits of the number";
    EXPECT_EQ(expand("%256%"), QString(QChar(1))) << "character 0 becomes 1";
    EXPECT_EQ(expand("%6.5%"), QString(QChar(1))) << "not a whole number";
    EXPECT_EQ(expand("%NL%"), "\r\n");
    EXPECT_EQ(expand("%newline%"), "\r\n");
    EXPECT_EQ(expand("a%#%b%SoftNewLine%c"), "abc");
    EXPECT_EQ(expand("%TB%|%Tab%"), "\t|\t");
    EXPECT_EQ(expand("%65,R,3%"), "  A");
    EXPECT_EQ(expand("%65,L,3,-%"), "A--");
    EXPECT_EQ(expand("% 65 , r , 3 %"), "  A") << "fields are trimmed";
}

TEST(MacroSyntax, UnknownAndUnterminatedItems)
{
    EXPECT_EQ(expand("x%XYZ,R,5%y"), "x%XYZ,R,5%y");
    EXPECT_EQ(expand("abc%T"), "abc" + kNoEnd);
    EXPECT_EQ(expand("no items at all"), "no items at all");
    EXPECT_EQ(expand(""), "");
    // Record and list macros stay as written without their source.
    EXPECT_EQ(expand("%GA,T% - %GT,T%"), "%GA,T% - %GT,T%");
    EXPECT_EQ(expand("%GLK,R,4%"), "%GLK,R,4%");
    EXPECT_EQ(expand("%GAT%"), "%GA,T% - %GT,T%" + QString(80 - 15, ' '))
        << "a compound expands its template, whose items stay as written";
}

TEST(MacroSyntax, SystemAndNoExecEntries)
{
    EXPECT_EQ(expand("%PV%"), "MPGTools 1.8");
    EXPECT_EQ(expand("%ProgramVersion,T%"), "MPGTools 1.8");
    EXPECT_EQ(expand("%CD,T%"), mpeginfo::short_date_text(QDate::currentDate()));
    EXPECT_EQ(expand("%nnn%"), "NNN");
    EXPECT_EQ(expand("%nnn,T%"), "NNNis NoExec Item!");
}

TEST(MacroSyntax, ListEntriesWithAContextButNoValueFunction)
{
    const mpeginfo::MacroListContext context;
    EXPECT_EQ(expand("%FC%", nullptr, &context), "FC") << "the text is cut to the name's length";
    EXPECT_EQ(expand("%FC,T%", nullptr, &context), "FC association error!!! ");
}

TEST(MacroTable, EntriesInTheirOrder)
{
    const auto& table = MacroDefinitions();
    ASSERT_EQ(table.Count(), 86);
    EXPECT_EQ(table.Entry(0).ShortName, "FN");
    EXPECT_EQ(table.Entry(42).ShortName, "S");
    EXPECT_EQ(table.Entry(43).ShortName, "PV");
    EXPECT_EQ(table.Entry(46).ShortName, "NL");
    EXPECT_EQ(table.Entry(50).Description, "Percent sign (%)");
    EXPECT_EQ(table.Entry(51).LongName, "FilePathName");
    EXPECT_EQ(table.Entry(52).Template, "%GA,T% - %GT,T%");
    EXPECT_EQ(table.Entry(85).ShortName, "TN");
    int kinds[5] = {};
    for (int i = 0; i < table.Count(); ++i)
        ++kinds[table.Entry(i).Kind];
    EXPECT_EQ(kinds[mpeginfo::mkRecord], 43);
    EXPECT_EQ(kinds[mpeginfo::mkSystem], 3);
    EXPECT_EQ(kinds[mpeginfo::mkNoExec], 5);
    EXPECT_EQ(kinds[mpeginfo::mkCompound], 2);
    EXPECT_EQ(kinds[mpeginfo::mkList], 33);
}

TEST(MacroTable, FindIgnoresCaseAndTheLastMatchWins)
{
    const auto& table = MacroDefinitions();
    EXPECT_EQ(table.Entry(table.Find("glk")).LongName, "GroupLengthKBComma");
    EXPECT_EQ(table.Entry(table.Find("GroupLengthKB")).LongName, "GroupLengthKB");
    EXPECT_EQ(table.Entry(table.Find("guessedartist")).ShortName, "GA");
    EXPECT_EQ(table.Find("XYZ"), -1);

    mpeginfo::TMacroDefinitions own;
    own.Add("X", "First", {}, mpeginfo::SystemValueFn([] { return QString("one"); }), mpeginfo::mkSystem, "System",
            "", 'N', 'L', 5);
    own.Add("X", "Second", {}, mpeginfo::SystemValueFn([] { return QString("two"); }), mpeginfo::mkSystem, "System",
            "", 'U', 'R', 5);
    EXPECT_EQ(own.Expand("[%X%]", nullptr, nullptr), "[  TWO]");
    own.SetDelimiter('$');
    EXPECT_EQ(own.Expand("$First,T$ $$ $nope$", nullptr, nullptr), "one $ $nope$");
}

TEST(MacroTable, ValueFunctionFailuresReachTheCaller)
{
    mpeginfo::TMacroDefinitions own;
    own.Add("BOOM", "Boom", {}, mpeginfo::SystemValueFn([]() -> QString { throw std::runtime_error("boom"); }),
            mpeginfo::mkSystem, "System", "", 'N', 'L', 4);
    EXPECT_THROW(own.Expand("%BOOM%", nullptr, nullptr), std::runtime_error);
}

TEST(MacroTable, SelfReferringCompoundStops)
{
    mpeginfo::TMacroDefinitions own;
    own.Add("LOOP", "Loop", "<%LOOP,T%>", {}, mpeginfo::mkCompound, "Special", "", 'N', 'T', -1);
    const QString text = own.Expand("%LOOP%", nullptr, nullptr);
    EXPECT_TRUE(text.startsWith("<<<<")) << text.toStdString();
    EXPECT_TRUE(text.contains("%LOOP,T%"));
}

TEST_F(RecordMacros, FileNameMacrosAndGuesses)
{
    load("Band - Song.mp3", frames(frame_header(1, 3, 9, 0), 417, 4));
    record.SetDefaultArtist("");
    record.SetDefaultTitle("");
    EXPECT_EQ(expand("%GA,T% - %GT,T%", &record), "Band - Song");
    EXPECT_EQ(expand("%GAT,T%", &record), "Band - Song");
    EXPECT_EQ(expand("%EA,T%|%ET,T%", &record), "Band|Song");
    EXPECT_EQ(expand("%FN,T%", &record), "Band - Song.mp3");
    EXPECT_EQ(expand("%FP,T%", &record), QString::fromStdString(dir.path().string()) + "/");
    EXPECT_EQ(expand("%FPN,T%", &record), record.FileName());
    EXPECT_EQ(expand("%FNS,T%", &record), "Band - Song.mp3");
    EXPECT_EQ(expand("%A,T%|%T,T%", &record), "[notag]|Band - Song.mp3");

    load("nodash.mp3", frames(frame_header(1, 3, 9, 0), 417, 4));
    record.SetDefaultArtist("Unknown Artist");
    EXPECT_EQ(expand("[%EA,T%][%GA,T%][%GT,T%]", &record), "[][Unknown Artist][]");
}

TEST_F(RecordMacros, OptionsOnRecordValues)
{
    Bytes stream = frames(frame_header(1, 3, 9, 0), 417, 4);
    load("seven.mp3", append_id3v1(stream, id3v1_tag("Seven c", "", "", "2001", "", 0)));
    EXPECT_EQ(expand("%T,C,12,*%", &record), "**Seven c***");
    EXPECT_EQ(expand("%T,C,12,*,C%", &record), "**Seven C***");
    EXPECT_EQ(expand("%BR,R,6,0%", &record), "000128");
    EXPECT_EQ(expand("%T%", &record), "Seven c" + QString(23, ' ')) << "default L 30";
    EXPECT_EQ(expand("%T,R,0%", &record), QString(23, ' ') + "Seven c") << "width 0 is the default width";
    EXPECT_EQ(expand("%T,X,4%", &record), "Seven c" + QString(23, ' ')) << "unknown alignment keeps the defaults";
    EXPECT_EQ(expand("%T,L,x%", &record), "Seven c") << "a width that is no number leaves the text";
    EXPECT_EQ(expand("%T,T,3,,U%", &record), "SEVEN C");
    EXPECT_EQ(expand("%T,T,,,L%", &record), "seven c");
    EXPECT_EQ(expand("%Y%|%Y,R,6%", &record), "2001|  2001");

    load("fifteen.mp3", append_id3v1(stream, id3v1_tag("fifteen letters", "", "", "", "", 0)));
    EXPECT_EQ(expand("%T,C,12,*%", &record), "fifteen lett");
    EXPECT_EQ(expand("%T,R,12%", &record), "fifteen lett");
    EXPECT_EQ(expand("%T,T,,,F%", &record), "Fifteen letters");
    EXPECT_EQ(expand("%T,T,,,C%", &record), "Fifteen Letters");
    load("punct.mp3", append_id3v1(stream, id3v1_tag("a(b)c.d/e:f;g<h>i?j!k,l-m", "", "", "", "", 0)));
    EXPECT_EQ(expand("%T,T,,,C%", &record), "A(B)C.D/E:F;G<H>I?J!K,L-m");
}

TEST_F(RecordMacros, NumbersAndFlags)
{
    QLocale::setDefault(QLocale::c());
    // MPEG 1 Layer III 128k 44100, joint stereo, copyright, error protection.
    const std::uint32_t header = frame_header(1, 3, 9, 0, false, 1, true) | 0x08;
    load("n.mp3", frames_to_size(header, 417, 4'000'000));
    EXPECT_EQ(expand("%D,T%|%DC,T%|%DM,T%|%DMC,T%|%DF,T%", &record), "250|250|4.2|4.2|4:10");
    EXPECT_EQ(expand("%L,T%|%LC,T%|%LK,T%|%LKC,T%|%LM,T%", &record), "4000000|4,000,000|3906|3,906|3.8");
    EXPECT_EQ(expand("%V%|%LY%|%LYN%|%SR%|%SRK%|%BR%", &record), "1.0|III|3|44100|44.1|128");
    EXPECT_EQ(expand("%EP%|%EP*%|%C%|%C*%|%O%|%O*%", &record), "Yes|*|Yes|*|No |   ");
    EXPECT_EQ(expand("%M,T%|%S,T%|%G,T%|%GNR%|%TR%", &record), "Joint-Stereo|Stereo|Unknown|255|  0");
    EXPECT_EQ(expand("%L%", &record), "     4000000");
    EXPECT_EQ(expand("%FDTFS%", &record), record.FileDateTime().toString("yyyyMMddHHmmss"));
    EXPECT_EQ(expand("%FT,T%", &record), mpeginfo::long_time_text(record.FileDateTime().time()));
}

TEST_F(RecordMacros, DurationFormDropsWholeHours)
{
    QLocale::setDefault(QLocale::c());
    // 1 h 2 min 5 s at 8 kbit/s (MPEG 2 Layer III, 22050 Hz): 3725 s * 1000 bytes.
    load("long.mp3", frames_to_size(frame_header(2, 3, 1, 0), 26, 3725 * 1000));
    EXPECT_EQ(record.Duration(), 3725);
    EXPECT_EQ(expand("%DF,T%|%DC,T%|%DM,T%", &record), "2:05|3,725|62.1");
}

TEST_F(RecordMacros, MacroTemplateRunsAfterEveryAnalysis)
{
    record.SetMacroTemplate("%GA,T% / %BR% / %S%");
    load("Artist - Title.mp3", frames(frame_header(2, 3, 8, 0, false, 3), 208, 4));
    EXPECT_EQ(record.MacroText(), "Artist /  64 / Mono  ");
    record.SetFileName(QString::fromStdString(dir.file("missing.mp3").string()));
    EXPECT_EQ(record.Analyse(), -1);
    EXPECT_EQ(record.MacroText(), "Unknown Artist /   0 / Stereo") << "expanded after a failed analysis too";
}

TEST(Formats, LocalePieces)
{
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(mpeginfo::format_thousands(1234567, 0), "1,234,567");
    EXPECT_EQ(mpeginfo::format_thousands(1234.56, 1), "1,234.6");
    EXPECT_EQ(mpeginfo::format_fixed(1234.56, 1), "1234.6");
    EXPECT_FALSE(mpeginfo::long_time_text(QTime(13, 4, 5)).contains("UTC"));
    EXPECT_TRUE(mpeginfo::long_time_text(QTime(13, 4, 5)).contains("04:05"));
    EXPECT_TRUE(mpeginfo::short_date_text(QDate()).isEmpty());
}

} // namespace
} // namespace pelu::test
