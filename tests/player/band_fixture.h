// The whole band form on the simulated wave device and mixer, with a temporary
// registry file holding "DLL Location", a temporary storage folder, synthesised
// MP3s and scripted dialogs; helpers that read what a user sees.
#pragma once

#include "audio/audio_file.h"
#include "audio/wave_out.h"
#include "mp3_fixtures.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/mixer/mixer_device.h"
#include "platform/registry/registry.h"
#include "platform/wave/wave_device.h"
#include "player/band_form.h"
#include "widgets/band_layout.h"
#include "widgets/dot_matrix.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"
#include "wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace pelu::player::test {

using pelu::test::TempDir;

using pelu::test::wait_until;

class BandFixture : public ::testing::Test {
protected:
    // `speed`: how many times real time the simulated device plays.
    explicit BandFixture(const char* device = "sim:50") { platform::wave::select_wave_system(device); }

    void SetUp() override
    {
        platform::mixer::sim_set_layout(platform::mixer::sim_default_layout());
        storage_folder_ = QString::fromStdString((dir_.path() / "store").string()) + QLatin1Char('/');
        std::filesystem::create_directories(dir_.path() / "store");
        std::filesystem::create_directories(dir_.path() / "music");
        registry_path_ = QString::fromStdString((dir_.path() / "registry.sqlite").string());
        registry_ = std::make_shared<platform::registry::Store>(registry_path_);
        const auto key = registry_->create_key(platform::registry::Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD"));
        registry_->set_value(key, platform::registry::Value::string(QStringLiteral("DLL Location"), storage_folder_));
    }

    void TearDown() override { form_.reset(); }

    BandServices Services()
    {
        BandServices services;
        services.registry = registry_;
        services.mixer = platform::mixer::make_sim_mixer();
        services.open_file_dialog = [this](QWidget*, const FileDialogRequest& request) {
            dialogs_.push_back(request.title);
            dialog_filters_.push_back(request.filter);
            return TakeAnswer(open_answers_);
        };
        services.save_file_dialog = [this](QWidget*, const FileDialogRequest& request) {
            dialogs_.push_back(request.title);
            dialog_filters_.push_back(request.filter);
            return TakeAnswer(save_answers_);
        };
        services.message_box = [this](QWidget*, MessageKind, MessageButtons, const QString&, const QString& text) {
            messages_.push_back(text);
            if (message_answers_.empty())
                return MessageAnswer::Ok;
            const MessageAnswer answer = message_answers_.front();
            message_answers_.pop_front();
            return answer;
        };
        services.read_error_dialog = [](QWidget*, const QString&) { return mpeginfo::idIgnore; };
        services.export_mpris = export_mpris_;
        return services;
    }

    // Creates the form and shows it (creation loads the settings, showing loads
    // the resume playlist).
    TBandForm& Form(bool show = true)
    {
        if (!form_) {
            form_ = std::make_unique<TBandForm>(nullptr, Services());
            if (show) {
                form_->show();
                QCoreApplication::processEvents();
            }
        }
        return *form_;
    }
    // Destroys the form the way the browser takes it down.
    void CloseForm()
    {
        if (!form_)
            return;
        form_->BandClosing();
        form_.reset();
        QCoreApplication::processEvents();
    }

    QString Music(const std::string& name, double seconds = 1.0, int bitrate_kbps = 128)
    {
        pelu::test::Mp3Options options = pelu::test::cbr128_stereo_44k(seconds);
        options.bitrate_kbps = bitrate_kbps;
        return QString::fromStdString(dir_.write("music/" + name, pelu::test::encode_mp3(options)).string());
    }
    // A PCM WAVE file at 8 kHz: its positions are exact to the millisecond,
    // where an MP3's fall on frame boundaries.
    QString Wave(const std::string& name, int seconds)
    {
        const std::uint32_t rate = 8000, channels = 2, bytes_per_sample = 2;
        const std::uint32_t data_bytes = rate * channels * bytes_per_sample * std::uint32_t(seconds);
        pelu::test::Bytes bytes;
        auto put32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                bytes.push_back(std::uint8_t(v >> (8 * i)));
        };
        auto put16 = [&](std::uint16_t v) {
            bytes.push_back(std::uint8_t(v));
            bytes.push_back(std::uint8_t(v >> 8));
        };
        auto tag = [&](const char* text) {
            for (int i = 0; i < 4; ++i)
                bytes.push_back(std::uint8_t(text[i]));
        };
        tag("RIFF");
        put32(36 + data_bytes);
        tag("WAVE");
        tag("fmt ");
        put32(16);
        put16(1);
        put16(std::uint16_t(channels));
        put32(rate);
        put32(rate * channels * bytes_per_sample);
        put16(std::uint16_t(channels * bytes_per_sample));
        put16(16);
        tag("data");
        put32(data_bytes);
        bytes.resize(bytes.size() + data_bytes, 0);
        return QString::fromStdString(dir_.write("music/" + name, bytes).string());
    }
    QString Garbage(const std::string& name)
    {
        return QString::fromStdString(dir_.write("music/" + name, pelu::test::garbage(20000)).string());
    }
    QString StorageFile(const QString& name) const { return storage_folder_ + name; }

    // What a user sees.
    const widgets::BandControls& C() { return Form().Controls(); }
    QString Status() { return C().status->Text(); }
    QString TimeText() { return C().time->Text(); }
    QString BitRateText() { return C().bit_rate->text(); }
    int Rows() { return C().playlist->RowCount(); }
    QString RowText(int row) { return C().playlist->RowText(row); }
    QString Column(int row, int column) { return C().playlist->ColumnText(row, column); }
    int Icon(int row) { return C().playlist->ImageIndex(row); }
    QList<int> Selected() { return C().playlist->SelectedRows(); }
    void SelectOnly(int row)
    {
        C().playlist->DeselectAll();
        C().playlist->SetRowSelected(row, true);
    }
    TMMWaveOut& Out() { return *Form().MMWaveOut1(); }
    // Every start of the output as the band reports it: the current row and the
    // status line at that moment (robust where polling could miss a short title).
    struct StartSeen {
        int row;
        QString status;
    };
    std::vector<StartSeen>& RecordStarts()
    {
        const auto previous = Out().OnStart;
        Out().OnStart = [this, previous](QObject* sender) {
            if (previous)
                previous(sender);
            starts_.push_back({form_->CurrentIndex(), form_->Controls().status->Text()});
        };
        return starts_;
    }
    bool OutputPlaying() { return Out().IsPlaying(); }
    bool WaitForStop(int timeout_ms = 15000)
    {
        return wait_until([&] { return !Out().IsPlaying(); }, timeout_ms);
    }

    TempDir dir_;
    QString storage_folder_;
    QString registry_path_;
    std::shared_ptr<platform::registry::Store> registry_;
    std::unique_ptr<TBandForm> form_;
    bool export_mpris_ = false;
    std::deque<QString> open_answers_, save_answers_;
    std::deque<MessageAnswer> message_answers_;
    std::vector<QString> dialogs_;
    std::vector<QString> dialog_filters_; // "Name|*.ext|..." of each dialog, in order
    std::vector<QString> messages_;
    std::vector<StartSeen> starts_;

private:
    static QString TakeAnswer(std::deque<QString>& answers)
    {
        if (answers.empty())
            return {};
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace pelu::player::test
