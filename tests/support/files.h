// Files for tests: a temporary folder removed with the test, and whole-file
// reads and writes that fail loudly rather than leave a test comparing nothing.
// Thread: any; every function is self-contained.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pelu::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system temp folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }
    // Writes the bytes to `name` in this directory and returns its path.
    std::filesystem::path write(const std::string& name, const Bytes& bytes) const;

private:
    std::filesystem::path path_;
};

// Throw when the file cannot be written.
void write_file(const std::filesystem::path& path, const Bytes& bytes);
void write_text(const std::filesystem::path& path, std::string_view text);
// Empty when the file cannot be read.
Bytes read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);

// The same for Qt paths. write_bytes makes the parent folders; read_bytes gives
// "<unreadable>" for a file it cannot open, so a comparison with it shows why.
void write_bytes(const QString& path, const QByteArray& bytes);
QByteArray read_bytes(const QString& path);

inline QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

} // namespace pelu::test
