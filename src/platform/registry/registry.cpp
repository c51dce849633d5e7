#include "platform/registry/registry.h"

#include "platform/fs/file_names.h"
#include "platform/fs/output_file.h"

#include <QDir>

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <thread>

namespace pelu::platform::registry {

namespace {

// Writers wait this long for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 10000;

// The stored form of a name folded for comparison. A name is stored as UTF-8,
// which has no place for a lone surrogate: the fold is taken of the name as it
// will come back, so the order of keys is the same before and after a reload.
QString fold(const QString& name)
{
    for (QChar c : name)
        if (c.isSurrogate())
            return QString::fromUtf8(name.toUtf8()).toCaseFolded();
    return name.toCaseFolded();
}

// SQLITE_BUSY or SQLITE_LOCKED where SQLite gives up without waiting (the
// first open of a new file): the set-up retries these itself.
using BusyError = RegistryBusyError;

[[noreturn]] void throw_sqlite_error(int rc, const std::string& message)
{
    if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED)
        throw BusyError("registry: " + message);
    throw RegistryError("registry: " + message);
}

// Makes the folder and its missing parents, by the name's own bytes.
void make_folders(const QByteArray& folder)
{
    for (qsizetype slash = folder.indexOf('/', 1); ; slash = folder.indexOf('/', slash + 1)) {
        const QByteArray part = slash < 0 ? folder : folder.left(slash);
        if (!part.isEmpty())
            ::mkdir(part.constData(), 0777); // an existing folder is fine; open reports the rest
        if (slash < 0)
            return;
    }
}

// Prepared statements are kept per database and text and used again: an
// import of a large file runs the same few statements a million times, and
// preparing them each time would keep the write lock far longer. A statement
// in use is taken out, so a nested use of the same text prepares its own.
class StatementCache {
public:
    sqlite3_stmt* take(sqlite3* db, const char* sql)
    {
        std::lock_guard lock(mutex_);
        auto it = free_.find({db, sql});
        if (it == free_.end() || it->second.empty())
            return nullptr;
        sqlite3_stmt* stmt = it->second.back();
        it->second.pop_back();
        return stmt;
    }
    void give_back(sqlite3* db, const char* sql, sqlite3_stmt* stmt)
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        std::lock_guard lock(mutex_);
        std::vector<sqlite3_stmt*>& kept = free_[{db, sql}];
        if (kept.size() < kKeptPerText)
            kept.push_back(stmt);
        else
            sqlite3_finalize(stmt);
    }
    // Before the database closes.
    void forget(sqlite3* db)
    {
        std::lock_guard lock(mutex_);
        for (auto it = free_.begin(); it != free_.end();) {
            if (it->first.first != db) {
                ++it;
                continue;
            }
            for (sqlite3_stmt* stmt : it->second)
                sqlite3_finalize(stmt);
            it = free_.erase(it);
        }
    }

private:
    static constexpr std::size_t kKeptPerText = 4;
    std::mutex mutex_;
    std::map<std::pair<sqlite3*, std::string>, std::vector<sqlite3_stmt*>> free_;
};

// Made by the first store's constructor, so it is destroyed after every store,
// static ones included.
StatementCache& statement_cache()
{
    static StatementCache cache;
    return cache;
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db), sql_(sql)
    {
        stmt_ = statement_cache().take(db, sql);
        if (stmt_)
            return;
        if (const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); rc != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
            throw_sqlite_error(rc, sqlite3_errmsg(db));
        }
    }
    ~Statement()
    {
        if (stmt_)
            statement_cache().give_back(db_, sql_, stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t v)
    {
        sqlite3_bind_int64(stmt_, index, v);
        return *this;
    }
    Statement& bind(int index, const QString& v)
    {
        const QByteArray utf8 = v.toUtf8();
        sqlite3_bind_text(stmt_, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind_blob(int index, const QByteArray& v)
    {
        sqlite3_bind_blob(stmt_, index, v.constData(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw_sqlite_error(rc, sqlite3_errmsg(db_));
    }
    std::int64_t int64(int col) { return sqlite3_column_int64(stmt_, col); }
    sqlite3_stmt* handle() { return stmt_; }
    QString text(int col)
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return QString::fromUtf8(p, sqlite3_column_bytes(stmt_, col));
    }
    QByteArray blob(int col)
    {
        const void* p = sqlite3_column_blob(stmt_, col);
        return QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(stmt_, col));
    }

private:
    sqlite3* db_;
    const char* sql_;
    sqlite3_stmt* stmt_ = nullptr;
};

Value value_from_row(Statement& s)
{
    Value v;
    v.name = s.text(0);
    v.type = ValueType(s.int64(1));
    switch (v.type) {
    case ValueType::String:
    case ValueType::ExpandString:
        v.text = s.text(2);
        break;
    case ValueType::Dword:
        v.dword = std::uint32_t(s.int64(2));
        break;
    case ValueType::Binary:
        v.bytes = s.blob(2);
        break;
    }
    return v;
}

} // namespace

Value Value::string(const QString& name, const QString& text, bool expand)
{
    Value v;
    v.name = name;
    v.type = expand ? ValueType::ExpandString : ValueType::String;
    v.text = text;
    return v;
}

Value Value::binary(const QString& name, const QByteArray& bytes)
{
    Value v;
    v.name = name;
    v.type = ValueType::Binary;
    v.bytes = bytes;
    return v;
}

Value Value::number(const QString& name, std::uint32_t dword)
{
    Value v;
    v.name = name;
    v.type = ValueType::Dword;
    v.dword = dword;
    return v;
}

bool Value::operator==(const Value& o) const
{
    if (name != o.name || type != o.type)
        return false;
    switch (type) {
    case ValueType::String:
    case ValueType::ExpandString:
        return text == o.text;
    case ValueType::Dword:
        return dword == o.dword;
    case ValueType::Binary:
        return bytes == o.bytes;
    }
    return false;
}

std::optional<Hive> hive_from_name(const QString& name)
{
    const QString n = name.toUpper();
    if (n == "HKEY_CLASSES_ROOT" || n == "HKCR")
        return Hive::ClassesRoot;
    if (n == "HKEY_CURRENT_USER" || n == "HKCU")
        return Hive::CurrentUser;
    if (n == "HKEY_LOCAL_MACHINE" || n == "HKLM")
        return Hive::LocalMachine;
    return std::nullopt;
}

QString hive_name(Hive hive)
{
    switch (hive) {
    case Hive::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    case Hive::CurrentUser:
        return "HKEY_CURRENT_USER";
    case Hive::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    }
    return {};
}

QStringList split_key_path(const QString& path)
{
    QString p = path;
    p.replace('/', '\\');
    return p.split('\\', Qt::SkipEmptyParts);
}

Store::Store(const QString& path, OpenMode mode) : path_(path)
{
    statement_cache(); // made before this store, so it outlives it
    const QByteArray native = fs::encode_file_name(path);
    struct stat st;
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw RegistryError("registry " + path.toStdString() + ": is a directory");
        if (!S_ISREG(st.st_mode))
            throw RegistryError("registry " + path.toStdString() + ": is not a regular file");
    } else if (errno != ENOENT) {
        throw RegistryError("registry " + path.toStdString() + ": " + fs::system_error_text(errno).toStdString());
    } else if (mode == OpenMode::ExistingOnly) {
        throw RegistryMissingError("registry " + path.toStdString() + ": no such file (nothing has been stored yet)");
    } else {
        const qsizetype slash = native.lastIndexOf('/');
        if (slash > 0)
            make_folders(native.left(slash));
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX |
                      (mode == OpenMode::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(native.constData(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        if (rc == SQLITE_CANTOPEN && mode == OpenMode::ExistingOnly)
            throw RegistryMissingError("registry " + path.toStdString() + ": no such file (nothing has been stored yet)");
        throw RegistryError("cannot open registry " + path.toStdString() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        exec("PRAGMA foreign_keys = ON");
        // Some steps of setting up a new file (switching it to WAL above all)
        // return "database is locked" at once instead of waiting for another
        // process doing the same: they are retried here for as long as any
        // other write would wait.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (int attempt = 0;; ++attempt) {
            try {
                set_up_schema();
                break;
            } catch (const BusyError&) {
                if (std::chrono::steady_clock::now() >= deadline)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1 << std::min(attempt, 5), 20)));
            }
        }
    } catch (...) {
        statement_cache().forget(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

void Store::set_up_schema()
{
    // WAL: readers never block the writer, and a killed writer leaves the last
    // committed state. NORMAL sync is safe against process crashes.
    QString journal;
    {
        Statement mode(db_, "PRAGMA journal_mode");
        if (mode.step())
            journal = mode.text(0);
    }
    if (journal.compare("wal", Qt::CaseInsensitive) != 0) {
        Statement wal(db_, "PRAGMA journal_mode = WAL");
        while (wal.step()) {
        }
    }
    exec("PRAGMA synchronous = NORMAL");
    {
        // A store set up before needs no write lock at every open.
        Statement ready(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'vals')");
        if (ready.step() && ready.int64(0) == 2) {
            Statement hives(db_, "SELECT count(*) FROM keys WHERE id BETWEEN 1 AND 3 AND parent IS NULL");
            if (hives.step() && hives.int64(0) == 3)
                return;
        }
    }
    transaction([this] {
        exec("CREATE TABLE IF NOT EXISTS keys ("
             " id INTEGER PRIMARY KEY,"
             " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL,"
             " fold TEXT NOT NULL,"
             " UNIQUE(parent, fold))");
        exec("CREATE TABLE IF NOT EXISTS vals ("
             " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL,"
             " fold TEXT NOT NULL,"
             " type INTEGER NOT NULL,"
             " data,"
             " PRIMARY KEY(key, fold)) WITHOUT ROWID");
        // The hive roots have fixed ids 1..3 and no parent.
        for (int h = 0; h < 3; ++h) {
            Statement s(db_, "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(?, NULL, ?, ?)");
            s.bind(1, std::int64_t(h + 1)).bind(2, hive_name(Hive(h))).bind(3, hive_name(Hive(h)));
            s.step();
        }
    });
}

Store::~Store()
{
    statement_cache().forget(db_);
    sqlite3_close(db_);
}

QString Store::default_path()
{
    if (const char* explicit_path = std::getenv("PELU_REGISTRY"); explicit_path && *explicit_path)
        return fs::decode_file_name(explicit_path);
    QString config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = fs::decode_file_name(xdg);
    else
        config = QDir::homePath() + "/.config";
    return config + "/pelu/registry.sqlite";
}

std::shared_ptr<Store> Store::open_default(OpenMode mode)
{
    static std::mutex mutex;
    static std::weak_ptr<Store> shared;
    std::lock_guard lock(mutex);
    const QString path = default_path();
    if (auto store = shared.lock(); store && store->path() == path)
        return store;
    auto store = std::make_shared<Store>(path, mode);
    shared = store;
    return store;
}

void Store::exec(const char* sql)
{
    char* error = nullptr;
    if (const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error); rc != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw_sqlite_error(rc, message);
    }
}

void Store::transaction(const std::function<void()>& fn, bool write)
{
    std::lock_guard lock(mutex_);
    if (transaction_depth_ > 0) {
        ++transaction_depth_;
        try {
            fn();
        } catch (...) {
            --transaction_depth_;
            throw;
        }
        --transaction_depth_;
        return;
    }
    // IMMEDIATE takes the write lock up front, so the busy timeout applies and
    // two writers never deadlock on a lock upgrade.
    exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    ++transaction_depth_;
    try {
        fn();
        exec("COMMIT");
    } catch (...) {
        --transaction_depth_;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    --transaction_depth_;
}

void Store::set_busy_timeout_ms(int ms) { sqlite3_busy_timeout(db_, ms); }

KeyId Store::hive_key(Hive hive) const
{
    return KeyId(int(hive) + 1);
}

bool Store::key_exists(KeyId key)
{
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT 1 FROM keys WHERE id = ?");
    s.bind(1, key);
    return s.step();
}

void Store::check_key(KeyId key)
{
    if (!key_exists(key))
        throw RegistryError("registry: the key has been deleted");
}

std::optional<KeyId> Store::child_key(KeyId parent, const QString& name)
{
    Statement s(db_, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
    s.bind(1, parent).bind(2, fold(name));
    if (s.step())
        return s.int64(0);
    return std::nullopt;
}

std::optional<KeyId> Store::open_key(KeyId parent, const QString& path)
{
    std::optional<KeyId> result;
    transaction(
        [&] {
            if (!key_exists(parent))
                return;
            KeyId key = parent;
            for (const QString& part : split_key_path(path)) {
                auto child = child_key(key, part);
                if (!child)
                    return;
                key = *child;
            }
            result = key;
        },
        false);
    return result;
}

int Store::key_depth(KeyId key)
{
    int depth = 0;
    transaction(
        [&] {
            check_key(key);
            // UNION, not UNION ALL: a damaged file with a loop of parents still ends.
            Statement s(db_, "WITH RECURSIVE up(id) AS (SELECT parent FROM keys WHERE id = ?"
                             " UNION SELECT k.parent FROM keys k JOIN up ON k.id = up.id)"
                             " SELECT count(*) FROM up WHERE id IS NOT NULL");
            s.bind(1, key);
            if (s.step())
                depth = int(s.int64(0));
        },
        false);
    return depth;
}

KeyId Store::create_key(KeyId parent, const QString& path)
{
    KeyId key = parent;
    transaction([&] {
        check_key(parent);
        const QStringList parts = split_key_path(path);
        int depth = -1; // of `key`, looked up once a part is missing
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const QString& part = parts[i];
            if (auto child = child_key(key, part)) {
                key = *child;
                continue;
            }
            if (depth < 0)
                depth = key_depth(key);
            if (depth + (parts.size() - i) > kMaxKeyDepth)
                throw RegistryError(QString("registry: the key \"%1\" would lie %2 levels deep; keys may lie at "
                                            "most %3 levels below their hive")
                                        .arg(path.size() > 200 ? path.left(200) + "..." : path)
                                        .arg(depth + (parts.size() - i))
                                        .arg(kMaxKeyDepth)
                                        .toStdString());
            Statement s(db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
            s.bind(1, key).bind(2, part).bind(3, fold(part));
            s.step();
            key = sqlite3_last_insert_rowid(db_);
            ++depth;
        }
    });
    return key;
}

QStringList Store::subkeys(KeyId key)
{
    QStringList names;
    transaction(
        [&] {
            check_key(key);
            Statement s(db_, "SELECT name FROM keys WHERE parent = ? ORDER BY fold");
            s.bind(1, key);
            while (s.step())
                names << s.text(0);
        },
        false);
    return names;
}

std::vector<Store::Child> Store::children(KeyId key)
{
    std::vector<Child> result;
    transaction(
        [&] {
            check_key(key);
            Statement s(db_, "SELECT id, name FROM keys WHERE parent = ? ORDER BY fold");
            s.bind(1, key);
            while (s.step())
                result.push_back({s.int64(0), s.text(1)});
        },
        false);
    return result;
}

std::vector<Value> Store::values(KeyId key)
{
    std::vector<Value> result;
    transaction(
        [&] {
            check_key(key);
            Statement s(db_, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY fold");
            s.bind(1, key);
            while (s.step())
                result.push_back(value_from_row(s));
        },
        false);
    return result;
}

std::optional<Value> Store::query(KeyId key, const QString& name)
{
    std::optional<Value> result;
    transaction(
        [&] {
            check_key(key);
            Statement s(db_, "SELECT name, type, data FROM vals WHERE key = ? AND fold = ?");
            s.bind(1, key).bind(2, fold(name));
            if (s.step())
                result = value_from_row(s);
        },
        false);
    return result;
}

void Store::set_value(KeyId key, const Value& value)
{
    transaction([&] {
        check_key(key);
        // Replacing keeps the spelling of the name already stored, as the
        // platform's registry does.
        QString name = value.name;
        {
            Statement s(db_, "SELECT name FROM vals WHERE key = ? AND fold = ?");
            s.bind(1, key).bind(2, fold(value.name));
            if (s.step())
                name = s.text(0);
        }
        Statement s(db_, "INSERT OR REPLACE INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)");
        s.bind(1, key).bind(2, name).bind(3, fold(value.name)).bind(4, std::int64_t(value.type));
        switch (value.type) {
        case ValueType::String:
        case ValueType::ExpandString:
            s.bind(5, value.text);
            break;
        case ValueType::Dword:
            s.bind(5, std::int64_t(value.dword));
            break;
        case ValueType::Binary:
            s.bind_blob(5, value.bytes);
            break;
        }
        s.step();
    });
}

bool Store::delete_value(KeyId key, const QString& name)
{
    bool deleted = false;
    transaction([&] {
        check_key(key);
        Statement s(db_, "DELETE FROM vals WHERE key = ? AND fold = ?");
        s.bind(1, key).bind(2, fold(name));
        s.step();
        deleted = sqlite3_changes(db_) > 0;
    });
    return deleted;
}

void Store::delete_descendants(KeyId key)
{
    // The foreign keys cascade a parent's deletion to its children one level
    // per trigger, which SQLite stops at 1000 levels. Deleting the values
    // first and then the keys level by level, the deepest first, leaves every
    // cascade with nothing to do, whatever the depth.
    exec("CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY, depth INTEGER NOT NULL)");
    exec("CREATE INDEX IF NOT EXISTS temp.doomed_by_depth ON doomed(depth)");
    exec("DELETE FROM temp.doomed");
    {
        Statement s(db_, "INSERT INTO temp.doomed(id, depth) WITH RECURSIVE sub(id, depth) AS ("
                         " SELECT id, 1 FROM keys WHERE parent = ?"
                         " UNION SELECT k.id, sub.depth + 1 FROM keys k JOIN sub ON k.parent = sub.id)"
                         " SELECT id, max(depth) FROM sub GROUP BY id");
        s.bind(1, key);
        s.step();
    }
    exec("DELETE FROM vals WHERE key IN (SELECT id FROM temp.doomed)");
    std::int64_t deepest = 0;
    {
        Statement s(db_, "SELECT max(depth) FROM temp.doomed");
        if (s.step())
            deepest = s.int64(0);
    }
    Statement level(db_, "DELETE FROM keys WHERE id IN (SELECT id FROM temp.doomed WHERE depth = ?)");
    for (std::int64_t depth = deepest; depth >= 1; --depth) {
        sqlite3_reset(level.handle());
        level.bind(1, depth);
        level.step();
    }
    exec("DELETE FROM temp.doomed");
}

bool Store::delete_key(KeyId key)
{
    if (key >= 1 && key <= 3)
        throw RegistryError("registry: a hive cannot be deleted");
    bool deleted = false;
    transaction([&] {
        if (!key_exists(key))
            return;
        delete_descendants(key);
        Statement vals(db_, "DELETE FROM vals WHERE key = ?");
        vals.bind(1, key);
        vals.step();
        Statement s(db_, "DELETE FROM keys WHERE id = ?");
        s.bind(1, key);
        s.step();
        deleted = sqlite3_changes(db_) > 0;
    });
    return deleted;
}

void Store::clear_key(KeyId key)
{
    transaction([&] {
        check_key(key);
        delete_descendants(key);
        Statement vals(db_, "DELETE FROM vals WHERE key = ?");
        vals.bind(1, key);
        vals.step();
    });
}

} // namespace pelu::platform::registry
