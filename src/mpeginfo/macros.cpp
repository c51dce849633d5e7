#include "mpeginfo/macros.h"

#include "mpeginfo/mpeg_audio.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QStringList>

namespace pelu::mpeginfo {

MacroListContext::~MacroListContext() = default;

namespace {

const QString kNoEnd = QStringLiteral("<<<ERROR!!! No end of item definition!>>>");

// A compound entry may name another compound; a table where one names itself
// would otherwise never finish. Past this depth an item stays as written.
constexpr int kMaxCompoundDepth = 16;

QLocale number_locale(bool grouped)
{
    QLocale locale;
    QLocale::NumberOptions options = locale.numberOptions();
    if (grouped)
        options &= ~QLocale::OmitGroupSeparator;
    else
        options |= QLocale::OmitGroupSeparator;
    locale.setNumberOptions(options);
    return locale;
}

// Removes the time-zone fields of a time format: the long time form of a
// clock shows hours, minutes and seconds, not the zone.
QString without_time_zone(const QString& format)
{
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.trimmed();
}

QChar time_separator()
{
    const QString format = QLocale().timeFormat(QLocale::ShortFormat);
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            continue;
        }
        if (!quoted && !c.isLetter() && !c.isSpace())
            return c;
    }
    return QLatin1Char(':');
}

// "LM" and "SRK": a value that ends in the decimal separator gets a 0.
QString with_trailing_digit(QString text)
{
    const QString point = QLocale().decimalPoint();
    if (!point.isEmpty() && text.endsWith(point))
        text += QLatin1Char('0');
    return text;
}

QString yes_no(bool on) { return on ? QStringLiteral("Yes") : QStringLiteral("No"); }
QString star(bool on) { return on ? QStringLiteral("*") : QStringLiteral(" "); }
QString number(qint64 value) { return QString::number(value); }

QString file_name_only(const TMPEGAudio& r) { return QFileInfo(r.FileName()).fileName(); }

QString file_directory(const TMPEGAudio& r)
{
    const QString name = r.FileName();
    const int slash = name.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : name.left(slash + 1);
}

bool has_tag(const TMPEGAudio& r) { return r.TagId() == QLatin1String("TAG"); }

QString extracted_artist(const TMPEGAudio& r)
{
    const QString name = file_name_only(r);
    const int dash = name.indexOf(QLatin1Char('-'));
    return dash < 0 ? QString() : name.left(dash).trimmed();
}

QString extracted_title(const TMPEGAudio& r)
{
    const QString name = file_name_only(r);
    const int dash = name.indexOf(QLatin1Char('-'));
    if (dash < 0)
        return {};
    QString title = name.mid(dash + 1).trimmed();
    const int dot = title.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? title : title.left(dot);
}

QString guessed_artist_macro(const TMPEGAudio& r)
{
    QString artist = has_tag(r) ? r.Artist() : extracted_artist(r);
    return artist.isEmpty() ? r.DefaultArtist() : artist;
}

QString guessed_title_macro(const TMPEGAudio& r)
{
    QString title = has_tag(r) ? r.Title() : extracted_title(r);
    return title.isEmpty() ? r.DefaultTitle() : title;
}

QString duration_form(int seconds)
{
    const int within_hour = seconds % 3600;
    return QString::number(within_hour / 60) + time_separator()
           + QStringLiteral("%1").arg(within_hour % 60, 2, 10, QLatin1Char('0'));
}

QString apply_case(QString text, QChar mode)
{
    switch (mode.unicode()) {
    case 'L':
        return text.toLower();
    case 'U':
        return text.toUpper();
    case 'F':
        if (!text.isEmpty())
            text[0] = text[0].toUpper();
        return text;
    case 'C': {
        static const QString after = QStringLiteral(" !(),./:;<>?");
        for (int i = 0; i < text.size(); ++i) {
            if (i == 0 || after.contains(text[i - 1]))
                text[i] = text[i].toUpper();
        }
        return text;
    }
    default:
        return text;
    }
}

QString apply_alignment(const QString& text, QChar alignment, int width, QChar fill)
{
    if (width < 0 || alignment == QLatin1Char('T'))
        return text;
    if (text.size() >= width)
        return text.left(width);
    const int spare = width - static_cast<int>(text.size());
    switch (alignment.unicode()) {
    case 'R':
        return QString(spare, fill) + text;
    case 'C': {
        const int left = spare / 2;
        return QString(left, fill) + text + QString(spare - left, fill);
    }
    default:
        return text + QString(spare, fill);
    }
}

// A field of an item: cut at a zero character, surrounding blanks removed.
QString item_field(const QStringList& fields, int index)
{
    if (index >= fields.size())
        return {};
    QString field = fields[index];
    const int zero = field.indexOf(QChar(0));
    if (zero >= 0)
        field.truncate(zero);
    return field.trimmed();
}

bool digits_and_dots(const QString& name)
{
    for (QChar c : name) {
        if (!(c.isDigit() && c.unicode() < 128) && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

} // namespace

QString format_thousands(double value, int decimals)
{
    return number_locale(true).toString(value, 'f', decimals);
}

QString format_fixed(double value, int decimals)
{
    return number_locale(false).toString(value, 'f', decimals);
}

QString short_date_text(const QDate& date)
{
    return date.isValid() ? QLocale().toString(date, QLocale::ShortFormat) : QString();
}

QString long_time_text(const QTime& time)
{
    return time.isValid()
               ? QLocale().toString(time, without_time_zone(QLocale().timeFormat(QLocale::LongFormat)))
               : QString();
}

TMacroDefinitions::TMacroDefinitions() = default;
TMacroDefinitions::~TMacroDefinitions() = default;
TMacroDefinitions::TMacroDefinitions(TMacroDefinitions&&) noexcept = default;
TMacroDefinitions& TMacroDefinitions::operator=(TMacroDefinitions&&) noexcept = default;

int TMacroDefinitions::Add(const QString& short_name, const QString& long_name, const QString& template_text,
                           TMacroValueFunction value_function, int kind, const QString& group,
                           const QString& description, QChar default_case, QChar default_alignment,
                           int default_width)
{
    auto entry = std::make_unique<TMacroEntry>();
    entry->ShortName = short_name;
    entry->LongName = long_name;
    entry->Template = template_text;
    entry->ValueFunction = std::move(value_function);
    entry->Kind = kind;
    entry->Group = group;
    entry->Description = description;
    entry->DefaultCase = default_case;
    entry->DefaultAlignment = default_alignment;
    entry->DefaultWidth = default_width;
    entries_.push_back(std::move(entry));
    return Count() - 1;
}

int TMacroDefinitions::Find(const QString& name) const
{
    const QString wanted = name.toUpper();
    for (int i = Count() - 1; i >= 0; --i) {
        const TMacroEntry& e = *entries_[static_cast<std::size_t>(i)];
        if (e.LongName.toUpper() == wanted || e.ShortName.toUpper() == wanted)
            return i;
    }
    return -1;
}

QString TMacroDefinitions::Expand(const QString& template_text, const TMPEGAudio* record,
                                  const MacroListContext* list) const
{
    return ExpandTemplate(template_text, record, list, 0);
}

QString TMacroDefinitions::ExpandTemplate(const QString& t, const TMPEGAudio* record,
                                          const MacroListContext* list, int depth) const
{
    QString out;
    qsizetype i = 0;
    for (;;) {
        const qsizetype open = t.indexOf(delimiter_, i);
        if (open < 0) {
            out += QStringView(t).mid(i);
            return out;
        }
        out += QStringView(t).mid(i, open - i);
        const qsizetype close = t.indexOf(delimiter_, open + 1);
        if (close < 0) {
            out += kNoEnd;
            return out;
        }
        out += ExpandItem(t.mid(open + 1, close - open - 1), record, list, depth);
        i = close + 1;
    }
}

QString TMacroDefinitions::ExpandItem(const QString& item, const TMPEGAudio* record,
                                      const MacroListContext* list, int depth) const
{
    const QStringList fields = item.split(QLatin1Char(','));
    const QString name = item_field(fields, 0);
    if (name.isEmpty())
        return QString(delimiter_);
    const QString as_written = delimiter_ + item + delimiter_;
    const QString upper = name.toUpper();

    QString text;
    int default_width = 0;
    QChar alignment = QLatin1Char('L');
    QChar text_case = QLatin1Char('N');

    if (digits_and_dots(name)) {
        bool whole = false;
        const qlonglong code = name.toLongLong(&whole);
        int character = whole ? static_cast<int>(code & 0xFF) : 1;
        if (character == 0)
            character = 1;
        text = QString(QChar(character));
        default_width = 1;
    } else if (upper == QLatin1String("NEWLINE") || upper == QLatin1String("NL")) {
        text = QStringLiteral("\r\n");
        default_width = 2;
    } else if (upper == QLatin1String("SOFTNEWLINE") || upper == QLatin1String("#")) {
        default_width = 0;
    } else if (upper == QLatin1String("TAB") || upper == QLatin1String("TB")) {
        text = QStringLiteral("\t");
        default_width = 1;
    } else {
        const int index = Find(name);
        if (index < 0)
            return as_written;
        const TMacroEntry& e = Entry(index);
        if ((e.Kind == mkRecord && !record) || (e.Kind == mkList && !list))
            return as_written;
        const auto* record_fn = std::get_if<RecordValueFn>(&e.ValueFunction);
        const auto* system_fn = std::get_if<SystemValueFn>(&e.ValueFunction);
        const auto* list_fn = std::get_if<ListValueFn>(&e.ValueFunction);
        const bool callable = (e.Kind == mkRecord && record_fn && *record_fn)
                              || (e.Kind == mkSystem && system_fn && *system_fn)
                              || (e.Kind == mkList && list_fn && *list_fn);
        if (callable || e.Kind == mkNoExec || e.Kind == mkCompound) {
            default_width = e.DefaultWidth;
            alignment = e.DefaultAlignment;
            text_case = e.DefaultCase;
            switch (e.Kind) {
            case mkRecord: text = (*record_fn)(*record).trimmed(); break;
            case mkSystem: text = (*system_fn)().trimmed(); break;
            case mkList: text = (*list_fn)(*list).trimmed(); break;
            case mkNoExec:
                text = upper + QStringLiteral("is NoExec Item!");
                default_width = static_cast<int>(name.size());
                break;
            default:
                if (depth >= kMaxCompoundDepth)
                    return as_written;
                text = ExpandTemplate(e.Template, record, list, depth + 1);
                break;
            }
        } else {
            text = upper + QStringLiteral(" association error!!! ");
            default_width = static_cast<int>(name.size());
            alignment = QLatin1Char('L');
            text_case = QLatin1Char('N');
        }
    }

    // Options: alignment with width, fill, case.
    int width = default_width;
    const QString align_field = item_field(fields, 1);
    const QChar asked_alignment = align_field.isEmpty() ? QChar() : align_field[0].toUpper();
    if (QStringLiteral("CLRT").contains(asked_alignment) && !asked_alignment.isNull()) {
        alignment = asked_alignment;
        bool whole = false;
        width = item_field(fields, 2).toInt(&whole);
        if (!whole)
            width = -1;
    }
    const QString fill_field = item_field(fields, 3);
    const QChar fill = fill_field.isEmpty() ? QLatin1Char(' ') : fill_field[0];
    const QString case_field = item_field(fields, 4);
    const QChar asked_case = case_field.isEmpty() ? QChar() : case_field[0].toUpper();
    if (!asked_case.isNull() && QStringLiteral("CFLNU").contains(asked_case))
        text_case = asked_case;

    text = apply_case(text, text_case);
    if (width == 0)
        width = default_width;
    return apply_alignment(text, alignment, width, fill);
}

void TMacroDefinitions::AddStandardEntries()
{
    const QString file_group = QStringLiteral("Mpeg audio file");
    const QChar N = QLatin1Char('N'), L = QLatin1Char('L'), R = QLatin1Char('R');
    auto record = [&](const char* short_name, const char* long_name, QChar align, int width,
                      const char* description, RecordValueFn fn) {
        Add(QString::fromLatin1(short_name), QString::fromLatin1(long_name), QString(), std::move(fn), mkRecord,
            file_group, QString::fromLatin1(description), N, align, width);
    };

    record("FN", "FileName", L, 40, "File name without directory", file_name_only);
    record("FNS", "FileNameShort", L, 40, "Short (8.3) file name without directory",
           [](const TMPEGAudio& r) { return QFileInfo(r.ShortFileName()).fileName(); });
    record("FP", "FilePath", L, 40, "Directory of the file", file_directory);
    record("VL", "VolumeLabel", L, 11, "Volume label", [](const TMPEGAudio& r) { return r.VolumeLabel(); });
    record("T", "Title", L, 30, "Title", [](const TMPEGAudio& r) { return r.GuessedTitle(); });
    record("ET", "ExtractedTitle", L, 30, "Title taken from the file name", extracted_title);
    record("GT", "GuessedTitle", L, 30, "Tag title, else the title in the file name", guessed_title_macro);
    record("FD", "FileDate", L, 10, "File date",
           [](const TMPEGAudio& r) { return short_date_text(r.FileDateTime().date()); });
    record("FDTFS", "FileDateTimeForSort", L, 14, "File date and time for sorting", [](const TMPEGAudio& r) {
        const QDateTime when = r.FileDateTime();
        return when.isValid() ? when.toString(QStringLiteral("yyyyMMddHHmmss")) : QString();
    });
    record("FT", "FileTime", L, 11, "File time",
           [](const TMPEGAudio& r) { return long_time_text(r.FileDateTime().time()); });
    record("A", "Artist", L, 30, "Artist", [](const TMPEGAudio& r) { return r.GuessedArtist(); });
    record("EA", "ExtractedArtist", L, 30, "Artist taken from the file name", extracted_artist);
    record("GA", "GuessedArtist", L, 30, "Tag artist, else the artist in the file name", guessed_artist_macro);
    record("ALB", "Album", L, 35, "Album", [](const TMPEGAudio& r) { return r.Album(); });
    record("Y", "Year", L, 4, "Year", [](const TMPEGAudio& r) { return r.Year(); });
    record("CMNT", "Comment", L, 30, "Comment", [](const TMPEGAudio& r) { return r.Comment(); });
    record("G", "Genre", L, 25, "Genre", [](const TMPEGAudio& r) { return r.GenreName(); });
    record("GNR", "GenreNr", R, 3, "Genre code", [](const TMPEGAudio& r) { return number(r.GenreNr()); });
    record("TR", "Track", R, 3, "Track number", [](const TMPEGAudio& r) { return number(r.Track()); });
    record("D", "Duration", R, 8, "Duration in seconds", [](const TMPEGAudio& r) { return number(r.Duration()); });
    record("DC", "DurationComma", R, 10, "Duration in seconds with thousands separators",
           [](const TMPEGAudio& r) { return format_thousands(r.Duration(), 0); });
    record("DM", "DurationMinutes", R, 7, "Duration in minutes",
           [](const TMPEGAudio& r) { return format_thousands(r.Duration() / 60.0, 1); });
    record("DMC", "DurationMinutesComma", R, 9, "Duration in minutes with thousands separators",
           [](const TMPEGAudio& r) { return format_thousands(r.Duration() / 60.0, 1); });
    record("DF", "DurationForm", R, 8, "Duration as minutes and seconds",
           [](const TMPEGAudio& r) { return duration_form(r.Duration()); });
    record("L", "Length", R, 12, "File length in bytes", [](const TMPEGAudio& r) { return number(r.Length()); });
    record("LC", "LengthComma", R, 15, "File length in bytes with thousands separators",
           [](const TMPEGAudio& r) { return format_thousands(r.Length(), 0); });
    record("LK", "LengthKB", R, 9, "File length in kilobytes",
           [](const TMPEGAudio& r) { return number(r.Length() / 1024); });
    record("LKC", "LengthKBComma", R, 11, "File length in kilobytes with thousands separators",
           [](const TMPEGAudio& r) { return format_thousands(r.Length() / 1024.0, 0); });
    record("LM", "LengthMB", R, 9, "File length in megabytes",
           [](const TMPEGAudio& r) { return with_trailing_digit(format_fixed(r.Length() / 1048576.0, 1)); });
    record("V", "Version", L, 3, "MPEG version", [](const TMPEGAudio& r) { return r.VersionName(); });
    record("LY", "Layer", L, 3, "MPEG layer", [](const TMPEGAudio& r) { return r.LayerName(); });
    record("LYN", "LayerNr", L, 1, "MPEG layer number", [](const TMPEGAudio& r) { return number(r.Layer()); });
    record("SR", "SampleRate", R, 5, "Sample rate in Hz", [](const TMPEGAudio& r) { return number(r.SampleRate()); });
    record("SRK", "SampleRateKHz", R, 4, "Sample rate in kHz",
           [](const TMPEGAudio& r) { return with_trailing_digit(format_fixed(r.SampleRate() / 1000.0, 1)); });
    record("BR", "BitRate", R, 3, "Bit rate in kbit/s (VBR for a variable bit rate)", [](const TMPEGAudio& r) {
        return r.BitRate() == -1 ? QStringLiteral("VBR") : number(r.BitRate());
    });
    record("EP", "ErrorProt", L, 3, "Error protection", [](const TMPEGAudio& r) { return yes_no(r.ErrorProt()); });
    record("EP*", "ErrorProt*", L, 1, "Error protection mark", [](const TMPEGAudio& r) { return star(r.ErrorProt()); });
    record("C", "Copyright", L, 3, "Copyright", [](const TMPEGAudio& r) { return yes_no(r.Copyright()); });
    record("C*", "Copyright*", L, 1, "Copyright mark", [](const TMPEGAudio& r) { return star(r.Copyright()); });
    record("O", "Original", L, 3, "Original", [](const TMPEGAudio& r) { return yes_no(r.Original()); });
    record("O*", "Original*", L, 3, "Original mark", [](const TMPEGAudio& r) { return star(r.Original()); });
    record("M", "Mode", L, 12, "Channel mode", [](const TMPEGAudio& r) { return r.ModeName(); });
    record("S", "Stereo", L, 6, "Mono or stereo", [](const TMPEGAudio& r) {
        return r.Mode() == 3 ? QStringLiteral("Mono") : QStringLiteral("Stereo");
    });

    const QString system_group = QStringLiteral("System");
    const QString version = QString::fromLatin1(kMpgToolsVersion);
    Add(QStringLiteral("PV"), QStringLiteral("ProgramVersion"), QString(), SystemValueFn([version] { return version; }),
        mkSystem, system_group, QStringLiteral("Program version"), N, L, static_cast<int>(version.size()));
    Add(QStringLiteral("CD"), QStringLiteral("CurrentDate"), QString(),
        SystemValueFn([] { return short_date_text(QDate::currentDate()); }), mkSystem, system_group,
        QStringLiteral("Current date"), N, R, 10);
    Add(QStringLiteral("CT"), QStringLiteral("CurrentTime"), QString(),
        SystemValueFn([] { return long_time_text(QTime::currentTime()); }), mkSystem, system_group,
        QStringLiteral("Current time"), N, R, 8);

    const QString special_group = QStringLiteral("Special");
    auto special = [&](const char* short_name, const char* long_name, const char* description, int width) {
        Add(QString::fromLatin1(short_name), QString::fromLatin1(long_name), QString(), {}, mkNoExec, special_group,
            QString::fromLatin1(description), N, L, width);
    };
    special("NL", "NewLine", "Carriage return and line feed", 2);
    special("#", "SoftNewLine", "Soft new line (nothing)", 0);
    special("TB", "Tab", "Tab character", 1);
    special("nnn", "nnn", "Character ASCII code (enter decimal value)", 1);
    special("", "", "Percent sign (%)", 1);

    Add(QStringLiteral("FPN"), QStringLiteral("FilePathName"), QStringLiteral("%FP,T%%FN,T%"), {}, mkCompound,
        file_group, QStringLiteral("Directory and file name"), N, L, 80);
    Add(QStringLiteral("GAT"), QStringLiteral("GuessedArtistTitle"), QStringLiteral("%GA,T% - %GT,T%"), {}, mkCompound,
        file_group, QStringLiteral("Guessed artist and title"), N, L, 80);

    // List, group and output document entries: the host supplies their values.
    struct ListEntry {
        const char* short_name;
        const char* long_name;
        const char* group;
        char align;
        int width;
    };
    static const ListEntry kListEntries[] = {
        {"FPR", "FilePathRelative", "List data", 'L', 40},
        {"N", "No", "List data", 'R', 6},
        {"FC", "FileCount", "List data", 'R', 6},
        {"FCC", "FileCountComma", "List data", 'R', 8},
        {"GN", "GroupNo", "Group Data", 'R', 6},
        {"GFN", "GroupFileNo", "Group Data", 'R', 6},
        {"GFC", "GroupFileCount", "Group Data", 'R', 6},
        {"GFCC", "GroupFileCountComma", "Group Data", 'R', 8},
        {"AC", "ArtistCount", "List data", 'R', 6},
        {"GC", "GroupCount", "Group Data", 'R', 6},
        {"GD", "GroupDuration", "Group Data", 'R', 8},
        {"GDC", "GroupDurationComma", "Group Data", 'R', 10},
        {"GDM", "GroupDurationMinutes", "Group Data", 'R', 7},
        {"GDMC", "GroupDurationMinutesComma", "Group Data", 'R', 9},
        {"GDF", "GroupDurationForm", "Group Data", 'R', 8},
        {"GL", "GroupLength", "Group Data", 'R', 12},
        {"GLC", "GroupLengthComma", "Group Data", 'R', 15},
        {"GLK", "GroupLengthKB", "Group Data", 'R', 9},
        {"GLK", "GroupLengthKBComma", "Group Data", 'R', 11},
        {"GLM", "GroupLengthMB", "Group Data", 'R', 9},
        {"DS", "DurationSum", "List data", 'R', 8},
        {"DSC", "DurationSumComma", "List data", 'R', 10},
        {"DSM", "DurationSumMinutes", "List data", 'R', 7},
        {"DSMC", "DurationSumMinutesComma", "List data", 'R', 9},
        {"DSF", "DurationSumForm", "List data", 'R', 8},
        {"LS", "LengthSum", "List data", 'R', 12},
        {"LSC", "LengthSumComma", "List data", 'R', 15},
        {"LKS", "LengthKBSum", "List data", 'R', 9},
        {"LKSC", "LengthKBSumComma", "List data", 'R', 11},
        {"LMS", "LengthMBSum", "List data", 'R', 9},
        {"OD", "OutputDoc", "Output document", 'L', 40},
        {"OP", "OutputPath", "Output document", 'L', 40},
        {"TN", "TemplateName", "Output document", 'L', 40},
    };
    for (const ListEntry& e : kListEntries) {
        const QString long_name = QString::fromLatin1(e.long_name);
        Add(QString::fromLatin1(e.short_name), long_name, QString(), {}, mkList, QString::fromLatin1(e.group),
            long_name, N, QLatin1Char(e.align), e.width);
    }
}

const TMacroDefinitions& MacroDefinitions()
{
    static const TMacroDefinitions table = [] {
        TMacroDefinitions t;
        t.AddStandardEntries();
        return t;
    }();
    return table;
}

} // namespace pelu::mpeginfo
