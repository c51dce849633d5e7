// A wave output (cmThread, 8160-byte buffers) that logs its events in order as
// letters: O open, S start, T stop, C close, E error. An OnStop hook runs after
// the T is logged, and the texts its callback thread reports are kept.
#pragma once

#include "audio/wave_out.h"

#include <QString>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace pelu::test {

struct LoggedOutput {
    explicit LoggedOutput(TMMDSPComponent* source = nullptr)
    {
        out.SetCallBackMode(TMMWaveOut::cmThread);
        out.SetBufferSize(8160);
        if (source)
            out.SetInput(source);
        out.OnOpen = [this](QObject*) { log += "O"; };
        out.OnStart = [this](QObject*) { log += "S"; };
        out.OnStop = [this](QObject*) {
            log += "T";
            if (on_stop)
                on_stop();
        };
        out.OnClose = [this](QObject*) { log += "C"; };
        out.OnError = [this](QObject*) { log += "E"; };
        previous_report_ = TMMWaveOut::ReportThreadError;
        TMMWaveOut::ReportThreadError = [this](const QString& text) { reports.push_back(text); };
    }
    ~LoggedOutput() { TMMWaveOut::ReportThreadError = previous_report_; }
    LoggedOutput(const LoggedOutput&) = delete;
    LoggedOutput& operator=(const LoggedOutput&) = delete;

    int count(char event) const { return int(std::count(log.begin(), log.end(), event)); }

    TMMWaveOut out;
    std::string log;
    std::vector<QString> reports;
    std::function<void()> on_stop;

private:
    std::function<void(const QString&)> previous_report_;
};

} // namespace pelu::test
