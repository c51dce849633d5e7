// Writes PCM to a RIFF WAVE file. A regular file (or a new name) is written to
// a temporary file that replaces the target only when complete; a device or
// pipe (/dev/null, /dev/stdout, a FIFO) is written directly, its header
// carrying the largest sizes since they cannot be filled in afterwards (as
// streaming WAVE writers do). Thread: one thread at a time.
#pragma once

#include "audio/dsp_object.h"
#include "platform/fs/output_file.h"

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
    std::unique_ptr<platform::fs::OutputFile> file_;
    QString path_;
    std::int64_t data_bytes_ = 0;
};

} // namespace pelu::cli
