#include "cli/wav_writer.h"

#include <QtEndian>

#include <cstring>

namespace pelu::cli {

namespace {
void put32(char* p, std::uint32_t v) { qToLittleEndian(v, p); }
void put16(char* p, std::uint16_t v) { qToLittleEndian(v, p); }

constexpr std::int64_t kMaxRiffData = 0xFFFFFFFFLL - 36;
} // namespace

bool WavWriter::Open(const QString& path, const WaveFormat& format, QString* error)
{
    path_ = path;
    data_bytes_ = 0;
    file_ = std::make_unique<platform::fs::OutputFile>();
    if (!file_->open(path)) {
        *error = file_->error();
        return false;
    }
    char header[44] = {};
    std::memcpy(header, "RIFF", 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, format.format_tag);
    put16(header + 22, format.channels);
    put32(header + 24, format.samples_per_sec);
    put32(header + 28, format.avg_bytes_per_sec);
    put16(header + 32, format.block_align);
    put16(header + 34, format.bits_per_sample);
    std::memcpy(header + 36, "data", 4);
    if (!file_->seekable()) {
        put32(header + 4, 0xFFFFFFFFu);
        put32(header + 40, static_cast<std::uint32_t>(kMaxRiffData));
    }
    if (!file_->write(header, 44)) {
        *error = file_->error();
        return false;
    }
    return true;
}

bool WavWriter::Write(const char* data, std::uint32_t size_bytes, QString* error)
{
    if (data_bytes_ + size_bytes > kMaxRiffData) {
        *error = QStringLiteral("%1: the audio is too long for a WAVE file").arg(path_);
        return false;
    }
    if (!file_->write(data, size_bytes)) {
        *error = file_->error();
        return false;
    }
    data_bytes_ += size_bytes;
    return true;
}

bool WavWriter::Finish(QString* error)
{
    bool ok = true;
    if (file_->seekable()) {
        char size[4];
        put32(size, static_cast<std::uint32_t>(36 + data_bytes_));
        ok = file_->write_at(4, size, 4);
        put32(size, static_cast<std::uint32_t>(data_bytes_));
        ok = ok && file_->write_at(40, size, 4);
    }
    ok = ok && file_->commit();
    if (!ok) {
        *error = file_->error();
        file_->abandon();
    }
    return ok;
}

void WavWriter::Abandon()
{
    if (file_)
        file_->abandon();
    file_.reset();
}

} // namespace pelu::cli
