// Text macros: a table of named macros and the expander that turns a template
// such as "%GA,T% - %GT,T%" into text from a TMPEGAudio record's fields.
//
// Thread: the global table is built once, on first use, and never changed
// afterwards, so Expand may run on any thread. A TMacroDefinitions of one's
// own belongs to the thread that fills it.
#pragma once

#include <QChar>
#include <QDate>
#include <QTime>
#include <QString>

#include <functional>
#include <memory>
#include <variant>
#include <vector>

namespace pelu::mpeginfo {

class TMPEGAudio;

// What a host hands to the list macros (file numbers, counts, sums); this
// library computes none of them itself.
class MacroListContext {
public:
    virtual ~MacroListContext();
};

// The kinds of entry.
constexpr int mkRecord = 0;   // a value of the record
constexpr int mkNoExec = 1;   // documentation only; the expander handles it by name
constexpr int mkSystem = 2;   // a value of the running program
constexpr int mkList = 3;     // a value of the list context
constexpr int mkCompound = 4; // a template of other macros

using RecordValueFn = std::function<QString(const TMPEGAudio&)>;
using SystemValueFn = std::function<QString()>;
using ListValueFn = std::function<QString(const MacroListContext&)>;
using TMacroValueFunction = std::variant<std::monostate, RecordValueFn, SystemValueFn, ListValueFn>;

struct TMacroEntry {
    QString ShortName;
    QString LongName;
    int DefaultWidth = 0;
    QChar DefaultAlignment = QLatin1Char('L'); // L, R, C or T
    QChar DefaultCase = QLatin1Char('N');      // N, C, F, L or U
    QString Description;
    QString Group;
    int Kind = mkRecord;
    TMacroValueFunction ValueFunction;
    QString Template; // for mkCompound
};

class TMacroDefinitions {
public:
    TMacroDefinitions();
    ~TMacroDefinitions();
    TMacroDefinitions(TMacroDefinitions&&) noexcept;
    TMacroDefinitions& operator=(TMacroDefinitions&&) noexcept;

    int Add(const QString& short_name, const QString& long_name, const QString& template_text,
            TMacroValueFunction value_function, int kind, const QString& group,
            const QString& description, QChar default_case, QChar default_alignment, int default_width);
    // Index of the last entry whose short or long name equals `name`, ignoring case; -1 when none.
    int Find(const QString& name) const;
    int Count() const { return static_cast<int>(entries_.size()); }
    const TMacroEntry& Entry(int index) const { return *entries_.at(static_cast<std::size_t>(index)); }

    QChar Delimiter() const { return delimiter_; }
    void SetDelimiter(QChar delimiter) { delimiter_ = delimiter; }

    // Expands the template for a record (may be null) and a list context (may
    // be null). Exceptions thrown by value functions reach the caller.
    QString Expand(const QString& template_text, const TMPEGAudio* record,
                   const MacroListContext* list) const;

    // Fills the table with the standard 86 entries, in their documented order.
    void AddStandardEntries();

private:
    QString ExpandItem(const QString& item, const TMPEGAudio* record, const MacroListContext* list,
                       int depth) const;
    QString ExpandTemplate(const QString& template_text, const TMPEGAudio* record,
                           const MacroListContext* list, int depth) const;

    std::vector<std::unique_ptr<TMacroEntry>> entries_;
    QChar delimiter_ = QLatin1Char('%');
};

// The program-wide table with the standard entries, built on first use.
const TMacroDefinitions& MacroDefinitions();

// The library version text the "PV" macro shows.
inline constexpr const char* kMpgToolsVersion = "MPGTools 1.8";

// Locale-dependent pieces of the record macros, exposed for the tests.
QString format_thousands(double value, int decimals); // "%20.0n" style, without the padding
QString format_fixed(double value, int decimals);     // "%20.1f" style, without the padding
QString short_date_text(const QDate& date);
QString long_time_text(const QTime& time);

} // namespace pelu::mpeginfo
