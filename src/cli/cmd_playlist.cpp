// pelu playlist show [--json] FILE.bri: the rows of a media list (or of the
// resume playlist es.xes) with their six column texts and image index.
// pelu playlist make OUT.bri FILE.mp3...: a media list with the rows that
// "Load Files" would append to an empty playlist, through the band's own code.
// pelu playlist import IN.m3u|IN.m3u8|IN.pls OUT.bri: the MP3 files the list
// names, as rows made the same way; entries that name no MP3 file are counted.
// pelu playlist export IN.bri OUT.m3u8|OUT.pls: a media list's rows as an M3U8
// or PLS list, by the output's extension.
#include "audio/mpeg.h"
#include "cli/command.h"
#include "mpeginfo/mpeg_audio.h"
#include "playlist/media_list.h"
#include "playlist/playlist_formats.h"
#include "playlist/playlist_rows.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace pelu::cli {
namespace {

using player::PlaylistRow;

const std::string kUsage = "playlist show [--json] FILE.bri | playlist make OUT.bri FILE.mp3... | "
                           "playlist import IN.m3u|IN.m3u8|IN.pls OUT.bri | playlist export IN.bri OUT.m3u8|OUT.pls";

// One table cell on one line: control characters become \xNN.
QString cell_text(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void print_table(const std::vector<PlaylistRow>& rows)
{
    const QStringList headers = {QStringLiteral("Row"),      QStringLiteral("Image"),
                                 QStringLiteral("Text"),     QStringLiteral("Duration"),
                                 QStringLiteral("Artist"),   QStringLiteral("Ms"),
                                 QStringLiteral("Key"),      QStringLiteral("Mark"),
                                 QStringLiteral("Path")};
    std::vector<QStringList> lines;
    lines.reserve(rows.size() + 1);
    lines.push_back(headers);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const PlaylistRow& row = rows[i];
        const auto column = [&row](int index) { return cell_text(row.columns.value(index)); };
        lines.push_back({QString::number(i), QString::number(row.image_index), cell_text(row.text),
                         column(player::kColumnDuration), column(player::kColumnArtist),
                         column(player::kColumnDurationMs), column(player::kColumnKey),
                         column(player::kColumnDeleteMark), column(player::kColumnPath)});
    }
    std::vector<qsizetype> widths(static_cast<std::size_t>(headers.size()), 0);
    for (const QStringList& line : lines) {
        for (qsizetype c = 0; c < line.size(); ++c)
            widths[std::size_t(c)] = std::max(widths[std::size_t(c)], line[c].size());
    }
    // Numbers right-aligned, texts left-aligned; the path (last) is not padded.
    const std::vector<bool> right = {true, true, false, true, false, true, true, false, false};
    for (const QStringList& line : lines) {
        QString out;
        for (qsizetype c = 0; c < line.size(); ++c) {
            const bool last = c + 1 == line.size();
            const int width = last ? 0 : int(widths[std::size_t(c)]);
            out += right[std::size_t(c)] ? line[c].rightJustified(width) : line[c].leftJustified(width);
            if (!last)
                out += QStringLiteral("  ");
        }
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        std::fputs(out.toUtf8().constData(), stdout);
        std::fputc('\n', stdout);
    }
}

void print_json(const std::vector<PlaylistRow>& rows)
{
    QJsonArray array;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const PlaylistRow& row = rows[i];
        QJsonObject object;
        object.insert(QStringLiteral("index"), qint64(i));
        object.insert(QStringLiteral("text"), row.text);
        object.insert(QStringLiteral("image_index"), row.image_index);
        object.insert(QStringLiteral("columns"), QJsonArray::fromStringList(row.columns));
        array.append(object);
    }
    std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
}

int run_show(const QStringList& args)
{
    bool json = false;
    std::optional<QString> file;
    bool options_done = false;
    for (const QString& arg : args) {
        if (!options_done && arg == QLatin1String("--json"))
            json = true;
        else if (!options_done && arg == QLatin1String("--"))
            options_done = true;
        else if (!options_done && arg.startsWith(QLatin1String("--")))
            return usage_error(QStringLiteral("unknown option ") + arg, kUsage);
        else if (file)
            return usage_error(QStringLiteral("show takes one file"), kUsage);
        else
            file = arg;
    }
    if (!file)
        return usage_error(QStringLiteral("no file given"), kUsage);

    std::vector<PlaylistRow> rows;
    std::optional<QString> error;
    try {
        player::LoadMediaListFile(*file, rows);
    } catch (const player::EMediaListError& e) {
        error = QString::fromStdString(e.what());
    }
    // A damaged list still shows the rows read before the fault, as the band keeps them.
    if (json)
        print_json(rows);
    else
        print_table(rows);
    std::fflush(stdout);
    if (error)
        return fail(*error); // it names the file
    return kExitOk;
}

// Why a file of the batch could not be read, for the message on stderr.
QString read_failure(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("No such file or directory");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    return QStringLiteral("no MPEG audio frame found");
}

int run_make(const QStringList& args)
{
    if (args.size() < 2)
        return usage_error(QStringLiteral("make needs an output file and at least one MP3 file"), kUsage);
    const QString out_path = args.first();
    bool all_taken = true;
    QStringList files;
    for (const QString& path : args.mid(1)) {
        if (player::HasMp3Extension(path)) {
            files.append(path);
        } else {
            all_taken = false;
            std::fprintf(stderr, "pelu: %s: not an .mp3 file\n", path.toLocal8Bit().constData());
        }
    }

    mpeginfo::TMPEGAudioList scratch;
    TMMMPEGFile mpegfile;
    // No dialog: each unreadable file is reported and left out, as Ignore does.
    const mpeginfo::TReadErrorEvent report = [&all_taken](mpeginfo::TMPEGAudio& record) {
        all_taken = false;
        std::fprintf(stderr, "pelu: %s: %s\n", record.FileName().toLocal8Bit().constData(),
                     read_failure(record.FileName()).toLocal8Bit().constData());
        return mpeginfo::idIgnore;
    };
    const std::vector<PlaylistRow> rows = player::BuildRowsForFiles(files, 0, scratch, mpegfile, report);
    try {
        player::SaveMediaListFile(out_path, rows);
    } catch (const player::EMediaListError& e) {
        return fail(QString::fromStdString(e.what()));
    }
    return all_taken ? kExitOk : kExitFailure;
}

int run_import(const QStringList& args)
{
    if (args.size() != 2)
        return usage_error(QStringLiteral("import needs a playlist and an output file"), kUsage);
    const QString& in_path = args[0];
    const QString& out_path = args[1];
    const player::PlaylistFormat in_format = player::PlaylistFormatOf(in_path);
    if (in_format != player::PlaylistFormat::M3u && in_format != player::PlaylistFormat::Pls)
        return usage_error(in_path + QStringLiteral(": import reads .m3u, .m3u8 or .pls lists"), kUsage);
    if (player::PlaylistFormatOf(out_path) != player::PlaylistFormat::MediaList)
        return usage_error(out_path + QStringLiteral(": import writes a media list (.bri)"), kUsage);

    player::ImportedList imported;
    try {
        imported = player::ReadPlaylistEntries(in_path);
    } catch (const player::EMediaListError& e) {
        return fail(QString::fromStdString(e.what()));
    }
    mpeginfo::TMPEGAudioList scratch;
    TMMMPEGFile mpegfile;
    // A file with the name of an MP3 but no MPEG audio in it is no MP3 either:
    // left out and counted with the other entries, as Ignore leaves it out.
    int unreadable = 0;
    const mpeginfo::TReadErrorEvent count = [&unreadable](mpeginfo::TMPEGAudio&) {
        ++unreadable;
        return mpeginfo::idIgnore;
    };
    const std::vector<PlaylistRow> rows = player::BuildRowsForFiles(imported.paths, 0, scratch, mpegfile, count);
    try {
        player::SaveMediaListFile(out_path, rows);
    } catch (const player::EMediaListError& e) {
        return fail(QString::fromStdString(e.what()));
    }
    if (const int skipped = imported.skipped + unreadable; skipped > 0)
        std::fprintf(stderr, "pelu: %d %s skipped\n", skipped, skipped == 1 ? "entry" : "entries");
    return kExitOk;
}

int run_export(const QStringList& args)
{
    if (args.size() != 2)
        return usage_error(QStringLiteral("export needs a media list and an output file"), kUsage);
    const QString& in_path = args[0];
    const QString& out_path = args[1];
    const player::PlaylistFormat out_format = player::PlaylistFormatOf(out_path);
    if (out_format != player::PlaylistFormat::M3u && out_format != player::PlaylistFormat::Pls)
        return usage_error(out_path + QStringLiteral(": export writes .m3u8, .m3u or .pls lists"), kUsage);

    std::vector<PlaylistRow> rows;
    try {
        // A damaged list is not exported in part: the output stays as it was.
        player::LoadMediaListFile(in_path, rows);
        if (out_format == player::PlaylistFormat::Pls)
            player::WritePls(out_path, rows);
        else
            player::WriteM3u8(out_path, rows);
    } catch (const player::EMediaListError& e) {
        return fail(QString::fromStdString(e.what()));
    }
    return kExitOk;
}

int run_playlist(const QStringList& args)
{
    if (args.isEmpty())
        return usage_error(QStringLiteral("no subcommand given"), kUsage);
    const QString verb = args.first();
    if (verb == QLatin1String("show"))
        return run_show(args.mid(1));
    if (verb == QLatin1String("make"))
        return run_make(args.mid(1));
    if (verb == QLatin1String("import"))
        return run_import(args.mid(1));
    if (verb == QLatin1String("export"))
        return run_export(args.mid(1));
    return usage_error(QStringLiteral("unknown subcommand ") + verb, kUsage);
}

} // namespace

PELU_COMMAND("playlist", kUsage, run_playlist);

} // namespace pelu::cli
