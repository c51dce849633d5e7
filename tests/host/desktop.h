// A virtual screen (Xvfb) with a window manager (openbox), as a desktop runs
// the browser, and xdotool to act on it as a user would.
#pragma once

#include "child_process.h"
#include "run_program.h"

#include <QProcessEnvironment>
#include <QThread>

namespace pelu::test {

class Desktop {
public:
    // `screen` as Xvfb takes it: WIDTHxHEIGHTxDEPTH.
    explicit Desktop(const QString& screen = QStringLiteral("1280x1024x24"))
    {
        if (!screen_.Start("Xvfb", {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"}))
            return;
        const QString number = screen_.ReadLine(20000);
        if (number.isEmpty())
            return;
        display_ = ":" + number;
        if (!manager_.Start("sh", {"-c", "DISPLAY=" + display_ + " exec openbox --sm-disable"}))
            display_.clear();
        QThread::msleep(500); // openbox takes the screen over
    }
    const QString& display() const { return display_; }
    // `base` with the browser on this screen.
    QProcessEnvironment environment(QProcessEnvironment env) const
    {
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", display_);
        // On X the GL driver is unloaded at exit with allocations the leak
        // checker can no longer name; memory errors are still reported.
        if (env.contains("ASAN_OPTIONS"))
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        return env;
    }
    // Runs xdotool on this screen; its output.
    QString xdotool(const QStringList& args) const
    {
        return run_program("xdotool", args, {.environment = {"DISPLAY=" + display_}, .timeout_ms = 20000}).out.trimmed();
    }
    // The browser window of process `pid`, once it shows; empty when none does.
    QString browser_window(qint64 pid) const
    {
        return xdotool({"search", "--sync", "--all", "--pid", QString::number(pid), "--name", "PELU Browser"})
            .section('\n', 0, 0);
    }

private:
    ChildProcess screen_;
    ChildProcess manager_;
    QString display_;
};

} // namespace pelu::test
