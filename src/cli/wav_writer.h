// Writes PCM to a RIFF WAVE file through a temporary file that replaces the
// target only when the file is complete. A target that exists and is not a
// regular file (/dev/null, a terminal, a pipe) is written directly: renaming a
// temporary file over it would replace the device node itself. Its header's
// sizes are filled in only when it can seek. Thread: one thread at a time.
#pragma once

#include "audio/dsp_object.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <cstdint>
#include <memory>

namespace pelu::cli {

class WavWriter {
public:
    bool Open(const QString& path, const WaveFormat& format, QString* error);
    bool Write(const char* data, std::uint32_t size_bytes, QString* error);
    // Fills in the sizes and puts the file in place.
    bool Finish(QString* error);
    // Drops the temporary file; the target stays as it was.
    void Abandon();
    std::int64_t DataBytes() const { return data_bytes_; }

private:
    std::unique_ptr<QFileDevice> file_; // a QSaveFile, or a QFile for a device
    bool direct_ = false;
    QString path_;
    std::int64_t data_bytes_ = 0;
};

} // namespace pelu::cli
