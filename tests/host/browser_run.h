// Runs pelu-browser as a program for the tests, in a home of its own (registry
// file, storage folder, profile) and talks to it through --automation.
#pragma once

#include "platform/registry/registry.h"

#include "files.h"
#include "run_program.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <optional>

namespace pelu::test {

// A temporary user: registry, storage folder with pages, profile folders.
class BrowserHome {
public:
    BrowserHome()
    {
        root_ = QString::fromStdString(dir_.path().string());
        storage_ = root_ + "/data/pelu/";
        QDir().mkpath(storage_ + "pages");
        write_page("index.html", "Home");
        write_page("second.html", "Second");
    }
    const QString& root() const { return root_; }
    const QString& storage() const { return storage_; }
    QString registry() const { return root_ + "/registry.sqlite"; }
    QString band_log() const { return root_ + "/band.log"; }

    void write_page(const QString& name, const QString& title) const
    {
        QFile page(storage_ + "pages/" + name);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write(QStringLiteral("<!DOCTYPE html><html><head><title>%1</title></head><body><h1>%1</h1>"
                                  "<input id=\"field\" value=\"text\"></body></html>")
                       .arg(title)
                       .toUtf8());
    }
    // What `pelu setup` writes: where the storage folder is.
    void set_dll_location() const
    {
        platform::registry::Store store(registry());
        store.set_value(store.create_key(platform::registry::Hive::CurrentUser, "Software\\PELU\\XPD"),
                        platform::registry::Value::string("DLL Location", storage_));
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PELU_REGISTRY", registry());
        env.insert("XDG_DATA_HOME", root_ + "/data");
        env.insert("XDG_CONFIG_HOME", root_ + "/config");
        env.insert("XDG_CACHE_HOME", root_ + "/cache");
        env.insert("XDG_RUNTIME_DIR", root_ + "/runtime");
        QDir().mkpath(root_ + "/runtime");
        QFile::setPermissions(root_ + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        env.insert("PELU_WAVE_DEVICE", "sim:1");
        env.insert("PELU_MIXER", "sim");
        env.insert("PELU_TEST_BAND_LOG", band_log());
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        // Under AddressSanitizer: the page engine's own code (not built with it)
        // frees some objects through a sized delete of a base class when a page
        // goes, which the sanitizer calls a type mismatch. Everything else stays checked.
        // Its leaks at exit are left to it as well (page_engine.lsan.supp).
        if (env.contains("ASAN_OPTIONS")) {
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":new_delete_type_mismatch=0");
            env.insert("LSAN_OPTIONS", QStringLiteral("suppressions=" PELU_TEST_HOST_DIR "/page_engine.lsan.supp"));
            env.insert("UBSAN_OPTIONS", env.value("UBSAN_OPTIONS") +
                                            QStringLiteral(":suppressions=" PELU_TEST_HOST_DIR "/page_engine.ubsan.supp"));
        }
        return env;
    }
    QStringList band_log_lines() const
    {
        QFile log(band_log());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // Runs `pelu ARGS...` in this home; its exit code.
    int pelu(const QStringList& args, QString* output = nullptr) const
    {
        const ProgramRun run = run_program(built_program("pelu"), args,
                                           {.base_environment = environment(), .merge_output = true});
        if (output)
            *output = run.out;
        return run.exit_code;
    }

private:
    TempDir dir_;
    QString root_;
    QString storage_;
};

// One run of the browser.
class BrowserRun {
public:
    explicit BrowserRun(const BrowserHome& home, const QStringList& args = {},
                        std::optional<QProcessEnvironment> environment = std::nullopt)
    {
        process_.setProcessEnvironment(environment ? *environment : home.environment());
        process_.start(QCoreApplication::applicationDirPath() + "/pelu-browser",
                       QStringList{"--automation"} + args);
        started_ = process_.waitForStarted(60000);
    }
    ~BrowserRun()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }
    bool started() const { return started_; }

    void send(const QString& command) { process_.write(command.toUtf8() + '\n'); }

    // The next line that starts with `prefix` (earlier lines are kept in lines()).
    std::optional<QString> wait_for(const QString& prefix, int timeout_ms = 90000)
    {
        QElapsedTimer timer;
        timer.start();
        while (true) {
            while (process_.canReadLine()) {
                const QString line = QString::fromUtf8(process_.readLine()).trimmed();
                lines_ << line;
                if (line.startsWith(prefix))
                    return line;
            }
            const qint64 left = timeout_ms - timer.elapsed();
            if (left <= 0 || process_.state() == QProcess::NotRunning)
                return std::nullopt;
            process_.waitForReadyRead(static_cast<int>(std::min<qint64>(left, 1000)));
        }
    }
    // Closes every window and waits for the end; the exit code, -1 when it crashed.
    int finish(int timeout_ms = 60000)
    {
        send("quit");
        return wait_end(timeout_ms);
    }
    // Waits for the end without asking for it; the exit code, -1 when it
    // crashed, -2 when it is still running after `timeout_ms`.
    int wait_end(int timeout_ms = 60000)
    {
        if (!process_.waitForFinished(timeout_ms))
            return -2;
        while (process_.canReadLine())
            lines_ << QString::fromUtf8(process_.readLine()).trimmed();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    // The ids of window N's toolbar bands, in order; empty when it does not answer.
    QStringList band_ids_of(int window)
    {
        send(QStringLiteral("bands %1").arg(window));
        const auto line = wait_for(QStringLiteral("bands %1").arg(window));
        if (!line)
            return {};
        QStringList ids;
        for (const QString& word : line->split(' ').mid(2))
            ids << word.section(':', 0, 0);
        return ids;
    }
    // The class names of the other windows showing (panels, menus, dialogs).
    QStringList popups()
    {
        send("popups");
        const auto line = wait_for("popups", 10000);
        return line ? line->split(' ', Qt::SkipEmptyParts).mid(1) : QStringList{"(no answer)"};
    }
    const QStringList& lines() const { return lines_; }
    QString errors() { return QString::fromUtf8(process_.readAllStandardError()); }
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
    QStringList lines_;
    bool started_ = false;
};

} // namespace pelu::test
