// `pelu setup [--library FILE] [--data DIR]`: the per-user setup, safe to repeat.
//   1. the storage folder ($XDG_DATA_HOME/pelu/, default ~/.local/share/pelu/)
//      gets "default.ini" and the pages/ folder from the program's data folder;
//      the user's own "eqdata.ini" and "es.xes" are never overwritten, and
//      without an "eqdata.ini" a copy of "default.ini" becomes the user's;
//   2. HKCU "Software\PELU\XPD" value "DLL Location" names that folder (with a
//      trailing "/");
//   3. the band library found next to the programs (or --library) is registered.
#include "cli/command.h"
#include "cli/server_library.h"
#include "platform/registry/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <cstdlib>

namespace pelu::cli {

namespace {

namespace reg = platform::registry;

const std::string kUsage = "setup [--library FILE] [--data DIR]";
constexpr char kBandLibrary[] = "libPELU.so";

QString storage_folder()
{
    QString data_home = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (data_home.isEmpty())
        data_home = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(data_home + QStringLiteral("/pelu")) + '/';
}

// The first candidate that holds `probe`, else empty.
QString first_holding(const QStringList& candidates, const QString& probe)
{
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate + '/' + probe))
            return QDir::cleanPath(candidate);
    }
    return {};
}

QString find_band_library()
{
    const QString programs = QCoreApplication::applicationDirPath();
    const QString folder =
        first_holding({programs, programs + QStringLiteral("/../lib/pelu")}, QString::fromLatin1(kBandLibrary));
    return folder.isEmpty() ? QString() : folder + '/' + kBandLibrary;
}

QString find_data_folder()
{
    const QString programs = QCoreApplication::applicationDirPath();
    QStringList candidates = {programs + QStringLiteral("/../share/pelu")};
#ifdef PELU_SOURCE_DATA_DIR
    candidates << QStringLiteral(PELU_SOURCE_DATA_DIR);
#endif
    return first_holding(candidates, QStringLiteral("default.ini"));
}

// Copies one file, replacing the target in one step (temp file + rename).
bool copy_file(const QString& from, const QString& to, QString& error)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(from, source.errorString());
        return false;
    }
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly) || target.write(source.readAll()) < 0 || !target.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(to, target.errorString());
        return false;
    }
    return true;
}

// The files a user's playing makes: never replaced by setup.
bool is_user_file(const QString& name)
{
    return name.compare(QLatin1String("eqdata.ini"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("es.xes"), Qt::CaseInsensitive) == 0;
}

// Copies the data folder's files into the storage folder, counting them in
// `copied`; false (the reason printed) when a file cannot be copied.
bool copy_data(const QString& data, const QString& storage, int& copied)
{
    copied = 0;
    QString error;
    // The folder's own files (default.ini, ...): the shipped ones replace older copies.
    for (const QFileInfo& file : QDir(data).entryInfoList(QDir::Files)) {
        const QString target = storage + file.fileName();
        if (is_user_file(file.fileName()) && QFileInfo::exists(target))
            continue;
        if (!copy_file(file.absoluteFilePath(), target, error)) {
            fail(error);
            return false;
        }
        ++copied;
    }
    // Without a preset of the user's own the equalizer would start with no
    // bands at all: the factory settings become the user's first ones.
    const QString factory = data + QStringLiteral("/default.ini");
    const QString preset = storage + QStringLiteral("eqdata.ini");
    if (!QFileInfo::exists(preset) && QFileInfo::exists(factory)) {
        if (!copy_file(factory, preset, error)) {
            fail(error);
            return false;
        }
        ++copied;
    }
    // The pages, with their folders.
    const QString pages = data + QStringLiteral("/pages");
    if (!QFileInfo(pages).isDir()) {
        std::fprintf(stderr, "pelu: %s has no pages/ folder: the browser's home and help pages are missing\n",
                     data.toLocal8Bit().constData());
        return true;
    }
    QDirIterator it(pages, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString target = storage + QStringLiteral("pages/") + QDir(pages).relativeFilePath(from);
        if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
            fail(QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath()));
            return false;
        }
        if (!copy_file(from, target, error)) {
            fail(error);
            return false;
        }
        ++copied;
    }
    if (!QFileInfo::exists(storage + QStringLiteral("pages/index.html")))
        std::fprintf(stderr, "pelu: %s has no pages/index.html: the browser's home page is missing\n",
                     data.toLocal8Bit().constData());
    return true;
}

int run_setup(const QStringList& arguments)
{
    QStringList args = arguments;
    QString library;
    QString data;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if ((a == "--library" || a == "--data") && args.isEmpty())
            return usage_error(a + QStringLiteral(" needs a value"), kUsage);
        if (a == "--library")
            library = args.takeFirst();
        else if (a == "--data")
            data = args.takeFirst();
        else
            return usage_error(QStringLiteral("unknown argument %1").arg(a), kUsage);
    }
    if (library.isEmpty())
        library = find_band_library();
    if (library.isEmpty())
        return fail(QStringLiteral("the band library %1 is not installed next to pelu (%2)")
                        .arg(QString::fromLatin1(kBandLibrary), QCoreApplication::applicationDirPath()));
    if (data.isEmpty())
        data = find_data_folder();
    if (data.isEmpty() || !QFileInfo(data).isDir())
        return fail(QStringLiteral("the program's data folder (with default.ini) is not installed"));

    // 1. The storage folder and its files.
    const QString storage = storage_folder();
    if (!QDir().mkpath(storage))
        return fail(QStringLiteral("cannot create %1").arg(storage));
    int copied = 0;
    if (!copy_data(QDir::cleanPath(data), storage, copied))
        return kExitFailure;
    std::printf("Storage folder %s: %d files from %s.\n", storage.toLocal8Bit().constData(), copied,
                QDir::cleanPath(data).toLocal8Bit().constData());

    // 2. Where the band finds it.
    auto store = reg::Store::open_default();
    store->set_value(store->create_key(reg::Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD")),
                     reg::Value::string(QStringLiteral("DLL Location"), storage));
    std::printf("DLL Location = %s\n", storage.toLocal8Bit().constData());

    // 3. The band, for the browser.
    return call_server_registration(library, false);
}

} // namespace

PELU_COMMAND("setup", kUsage, run_setup);

} // namespace pelu::cli
