#include "cli/wav_writer.h"

#include <QFileInfo>
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
    const QFileInfo target(path);
    direct_ = target.exists() && !target.isFile() && !target.isDir();
    if (direct_)
        file_ = std::make_unique<QFile>(path);
    else
        file_ = std::make_unique<QSaveFile>(path);
    if (!file_->open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file_->errorString());
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
    if (file_->write(header, 44) != 44) {
        *error = QStringLiteral("%1: %2").arg(path, file_->errorString());
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
    if (file_->write(data, size_bytes) != static_cast<qint64>(size_bytes)) {
        *error = QStringLiteral("%1: %2").arg(path_, file_->errorString());
        return false;
    }
    data_bytes_ += size_bytes;
    return true;
}

bool WavWriter::Finish(QString* error)
{
    char size[4];
    if (direct_) {
        // A device: the sizes go in only where it can seek back.
        const bool ok = file_->isSequential() ||
                        (file_->seek(4) && (put32(size, static_cast<std::uint32_t>(36 + data_bytes_)), file_->write(size, 4) == 4) &&
                         file_->seek(40) && (put32(size, static_cast<std::uint32_t>(data_bytes_)), file_->write(size, 4) == 4));
        const bool flushed = file_->flush();
        if (!ok || !flushed)
            *error = QStringLiteral("%1: %2").arg(path_, file_->errorString());
        file_->close();
        return ok && flushed;
    }
    auto* save = static_cast<QSaveFile*>(file_.get());
    const bool ok = file_->seek(4) && (put32(size, static_cast<std::uint32_t>(36 + data_bytes_)), file_->write(size, 4) == 4) &&
                    file_->seek(40) && (put32(size, static_cast<std::uint32_t>(data_bytes_)), file_->write(size, 4) == 4) &&
                    save->commit();
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(path_, file_->errorString());
    return ok;
}

void WavWriter::Abandon()
{
    if (file_ && !direct_)
        static_cast<QSaveFile*>(file_.get())->cancelWriting();
    file_.reset();
}

} // namespace pelu::cli
