// The registry: hives (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE)
// holding a tree of keys with typed values (REG_SZ, REG_EXPAND_SZ, REG_DWORD,
// REG_BINARY), kept in one SQLite database per user:
// $XDG_CONFIG_HOME/pelu/registry.sqlite (~/.config when unset), or the file
// named by PELU_REGISTRY.
//
// Key and value names are compared without regard to case, as the platform's
// registry does; the spelling given when a name was first written is kept.
//
// Every operation is atomic on its own; transaction() groups several into one
// (a whole subtree replaced, an imported file), so another process, or a crash,
// sees either everything or nothing of it. Two processes may use the same file
// at once: writers wait for each other (busy timeout) instead of failing.
//
// Thread: a Store may be used from any thread; its calls are serialised by its
// own lock. Use one Store per thread for real parallelism.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct sqlite3;

namespace pelu::platform::registry {

PELU_DECLARE_ERROR(RegistryError, pelu::Error)
// The store file does not exist (and was not to be created).
PELU_DECLARE_ERROR(RegistryMissingError, RegistryError)
// Another process held the store's write lock for longer than the wait allows.
PELU_DECLARE_ERROR(RegistryBusyError, RegistryError)

// The deepest key the store holds: a hive's direct subkey is at depth 1. Deeper
// keys are refused wherever keys are made (create_key, and so every import),
// which keeps each key's full name, and an export, of bounded size.
constexpr int kMaxKeyDepth = 512;

enum class Hive { ClassesRoot = 0, CurrentUser = 1, LocalMachine = 2 };

// The platform's registry type numbers.
enum class ValueType : std::uint32_t {
    String = 1,       // REG_SZ
    ExpandString = 2, // REG_EXPAND_SZ
    Binary = 3,       // REG_BINARY
    Dword = 4,        // REG_DWORD
};

struct Value {
    QString name;
    ValueType type = ValueType::String;
    QString text;       // String, ExpandString
    QByteArray bytes;   // Binary
    std::uint32_t dword = 0;

    static Value string(const QString& name, const QString& text, bool expand = false);
    static Value binary(const QString& name, const QByteArray& bytes);
    static Value number(const QString& name, std::uint32_t dword);
    bool operator==(const Value& other) const;
};

// "HKEY_CURRENT_USER", ... and the short forms "HKCU", ...; case-insensitive.
std::optional<Hive> hive_from_name(const QString& name);
QString hive_name(Hive hive);

// The id of an existing key in one store. Ids stay valid until the key is deleted.
using KeyId = std::int64_t;

enum class OpenMode {
    CreateIfMissing, // writers: the file (and its folder) is made when missing
    ExistingOnly,    // readers: a missing file throws RegistryMissingError
};

class Store {
public:
    // Opens the database file. A path that names something other than a
    // regular file (a device, a FIFO, a directory) is refused before SQLite
    // touches it, so nothing is written beside it either.
    explicit Store(const QString& path, OpenMode mode = OpenMode::CreateIfMissing);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // PELU_REGISTRY, else $XDG_CONFIG_HOME/pelu/registry.sqlite, else
    // ~/.config/pelu/registry.sqlite.
    static QString default_path();
    // A store on default_path(), shared within the process; reopened when the
    // default path has changed since the last call.
    static std::shared_ptr<Store> open_default(OpenMode mode = OpenMode::CreateIfMissing);

    const QString& path() const { return path_; }
    // How long a write waits for another writer before it fails as busy (10 s by default).
    void set_busy_timeout_ms(int ms);

    KeyId hive_key(Hive hive) const;
    // Opens a key below `parent` by a relative path ("A\B", "/" also separates);
    // an empty path opens `parent` itself. nullopt when a part is missing.
    std::optional<KeyId> open_key(KeyId parent, const QString& path);
    std::optional<KeyId> open_key(Hive hive, const QString& path) { return open_key(hive_key(hive), path); }
    // Opens the key, creating every missing part. RegistryError when a part
    // would lie deeper than kMaxKeyDepth.
    KeyId create_key(KeyId parent, const QString& path);
    KeyId create_key(Hive hive, const QString& path) { return create_key(hive_key(hive), path); }
    bool key_exists(KeyId key);
    // How many levels below its hive the key lies (0 for a hive root).
    int key_depth(KeyId key);

    // Subkey names and values, ordered by name without regard to case.
    QStringList subkeys(KeyId key);
    struct Child {
        KeyId id;
        QString name;
    };
    std::vector<Child> children(KeyId key); // the subkeys with their ids, in the same order
    std::vector<Value> values(KeyId key);
    std::optional<Value> query(KeyId key, const QString& name);
    void set_value(KeyId key, const Value& value);
    bool delete_value(KeyId key, const QString& name);
    // Deletes the key and everything below it, at any depth. Hive roots cannot
    // be deleted.
    bool delete_key(KeyId key);
    // Deletes every subkey and every value of the key, keeping the key.
    void clear_key(KeyId key);

    // Runs `fn` as one transaction: committed when it returns, rolled back when it
    // throws (the exception goes on). Nested calls join the outer transaction.
    // `write` false takes a read snapshot instead of the write lock.
    void transaction(const std::function<void()>& fn, bool write = true);

private:
    void exec(const char* sql);
    void set_up_schema();
    // Deletes the keys below `key` (not the key itself), deepest first.
    void delete_descendants(KeyId key);
    std::optional<KeyId> child_key(KeyId parent, const QString& name);
    void check_key(KeyId key);

    QString path_;
    sqlite3* db_ = nullptr;
    std::recursive_mutex mutex_;
    int transaction_depth_ = 0;
};

// Splits a key path at "\" and "/", dropping empty parts.
QStringList split_key_path(const QString& path);

} // namespace pelu::platform::registry
