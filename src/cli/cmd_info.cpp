// pelu info [--template T] [--json] FILE...: the MPEG header and ID3v1 record
// of each file, one Name=value line per field (or a JSON array), so scripts
// and people can see exactly what the playlist will see.
#include "cli/command.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/fs/file_facts.h"
#include "platform/fs/output_file.h"

#include <QMetaProperty>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace pelu::cli {
namespace {

using pelu::mpeginfo::TMPEGAudio;

const std::string kUsage = "info [--template T] [--json] FILE...";

// Text values on one line: control characters (a newline inside a tag, the
// line break of %NL%) are written as \xNN so every field stays one line.
std::string line_text(const QString& value)
{
    std::string out;
    const QByteArray utf8 = value.toUtf8();
    out.reserve(static_cast<std::size_t>(utf8.size()));
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string json_string(const QString& value)
{
    std::string out = "\"";
    for (char c : value.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20 || u == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

struct Field {
    std::string name;
    QMetaProperty property;
};

// The record's fields in their documented order, TagId through FirstFramePos;
// looked up once for the whole run, read for each file.
std::vector<Field> record_fields()
{
    std::vector<Field> fields;
    const QMetaObject* meta = &TMPEGAudio::staticMetaObject;
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        fields.push_back({property.name(), property});
        if (fields.back().name == "FirstFramePos")
            break;
    }
    return fields;
}

// Numbers are written straight from the integer: the same digits as
// QVariant::toString gives, without a QString per field and file.
bool integer_text(const QVariant& value, std::string* out)
{
    switch (value.typeId()) {
    case QMetaType::Int: *out = std::to_string(value.toInt()); return true;
    case QMetaType::UInt: *out = std::to_string(value.toUInt()); return true;
    default: return false;
    }
}

std::string text_value(const QVariant& value)
{
    std::string number;
    if (integer_text(value, &number))
        return number;
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? "1" : "0";
    if (value.typeId() == QMetaType::QString)
        return line_text(value.toString());
    return value.toString().toStdString();
}

std::string json_value(const QVariant& value)
{
    std::string number;
    if (integer_text(value, &number))
        return number;
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? "true" : "false";
    if (value.typeId() == QMetaType::QString)
        return json_string(value.toString());
    return value.toString().toStdString();
}

void progress(int done, int total)
{
    constexpr int kWidth = 30;
    const int filled = total > 0 ? done * kWidth / total : kWidth;
    std::fprintf(stderr, "\r[%s%s] %d/%d", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), done, total);
    if (done == total)
        std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

// Why a file's result is not 0, in a few words for stderr.
QString failure_reason(const TMPEGAudio& record, const QString& file, int result)
{
    if (const QString problem = platform::fs::input_file_problem(file); !problem.isEmpty())
        return problem;
    if (result > 0)
        return platform::fs::system_error_text(result);
    if (!record.HeaderValid())
        return QStringLiteral("no MPEG audio frame found");
    return QStringLiteral("the template could not be expanded");
}

int run_info(const QStringList& args)
{
    bool json = false;
    bool with_template = false;
    QString macro_template;
    QStringList files;
    bool options_done = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (options_done || !arg.startsWith(QLatin1String("--")) || arg == QLatin1String("-")) {
            files << arg;
        } else if (arg == QLatin1String("--")) {
            options_done = true;
        } else if (arg == QLatin1String("--json")) {
            json = true;
        } else if (arg == QLatin1String("--template")) {
            if (i + 1 >= args.size())
                return usage_error(QStringLiteral("--template needs a template"), kUsage);
            with_template = true;
            macro_template = args[++i];
        } else if (arg.startsWith(QLatin1String("--template="))) {
            with_template = true;
            macro_template = arg.mid(11);
        } else {
            return usage_error(QStringLiteral("unknown option ") + arg, kUsage);
        }
    }
    if (files.isEmpty())
        return usage_error(QStringLiteral("no file given"), kUsage);

    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    const bool show_progress = files.size() > 1 && ::isatty(STDERR_FILENO);

    TMPEGAudio record;
    record.SetAutoLoad(false);
    record.SetOnReadError({}); // no dialogs: the result is printed as it is
    record.SetMacroTemplate(macro_template);

    const std::vector<Field> fields = record_fields();
    bool all_ok = true;
    std::string out;
    if (json)
        std::fputs("[", stdout);
    for (int n = 0; n < files.size(); ++n) {
        record.SetFileName(files[n]);
        const int result = record.Analyse();
        all_ok = all_ok && result == 0;
        out.clear();
        if (json) {
            out += n == 0 ? "\n  {" : ",\n  {";
            for (const Field& field : fields) {
                out += '"';
                out += field.name;
                out += "\": ";
                out += json_value(field.property.read(&record));
                out += ", ";
            }
            out += "\"Result\": " + std::to_string(result);
            if (with_template)
                out += ", \"MacroText\": " + json_string(record.MacroText());
            out += "}";
        } else {
            if (n > 0)
                out += "\n";
            for (const Field& field : fields) {
                out += field.name;
                out += '=';
                out += text_value(field.property.read(&record));
                out += '\n';
            }
            out += "Result=" + std::to_string(result) + "\n";
            if (with_template)
                out += "MacroText=" + line_text(record.MacroText()) + "\n";
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        if (result != 0) {
            if (show_progress)
                std::fprintf(stderr, "\r%50s\r", "");
            fail(QStringLiteral("%1: %2").arg(files[n], failure_reason(record, files[n], result)));
        }
        if (show_progress)
            progress(n + 1, static_cast<int>(files.size()));
    }
    if (json)
        std::fputs("\n]\n", stdout);
    std::fflush(stdout);
    return all_ok ? kExitOk : kExitFailure;
}

} // namespace

PELU_COMMAND("info", kUsage, run_info);

} // namespace pelu::cli
