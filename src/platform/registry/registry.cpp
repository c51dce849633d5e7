#include "platform/registry/registry.h"

#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include <cstdlib>

namespace pelu::platform::registry {

namespace {

// Writers wait this long for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 10000;

QString fold(const QString& name)
{
    return name.toCaseFolded();
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw RegistryError(std::string("registry: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
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
        throw RegistryError(std::string("registry: ") + sqlite3_errmsg(db_));
    }
    std::int64_t int64(int col) { return sqlite3_column_int64(stmt_, col); }
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

Store::Store(const QString& path) : path_(path)
{
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw RegistryError("cannot open registry " + path.toStdString() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        exec("PRAGMA foreign_keys = ON");
        // WAL: readers never block the writer, and a killed writer leaves the last
        // committed state. NORMAL sync is safe against process crashes.
        exec("PRAGMA journal_mode = WAL");
        exec("PRAGMA synchronous = NORMAL");
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
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Store::~Store()
{
    sqlite3_close(db_);
}

QString Store::default_path()
{
    if (const char* explicit_path = std::getenv("PELU_REGISTRY"); explicit_path && *explicit_path)
        return QString::fromLocal8Bit(explicit_path);
    QString config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = QString::fromLocal8Bit(xdg);
    else
        config = QDir::homePath() + "/.config";
    return config + "/pelu/registry.sqlite";
}

std::shared_ptr<Store> Store::open_default()
{
    static std::mutex mutex;
    static std::weak_ptr<Store> shared;
    std::lock_guard lock(mutex);
    const QString path = default_path();
    if (auto store = shared.lock(); store && store->path() == path)
        return store;
    auto store = std::make_shared<Store>(path);
    shared = store;
    return store;
}

void Store::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw RegistryError("registry: " + message);
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

KeyId Store::create_key(KeyId parent, const QString& path)
{
    KeyId key = parent;
    transaction([&] {
        check_key(parent);
        for (const QString& part : split_key_path(path)) {
            if (auto child = child_key(key, part)) {
                key = *child;
                continue;
            }
            Statement s(db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
            s.bind(1, key).bind(2, part).bind(3, fold(part));
            s.step();
            key = sqlite3_last_insert_rowid(db_);
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

bool Store::delete_key(KeyId key)
{
    if (key >= 1 && key <= 3)
        throw RegistryError("registry: a hive cannot be deleted");
    bool deleted = false;
    transaction([&] {
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
        Statement keys(db_, "DELETE FROM keys WHERE parent = ?");
        keys.bind(1, key);
        keys.step();
        Statement vals(db_, "DELETE FROM vals WHERE key = ?");
        vals.bind(1, key);
        vals.step();
    });
}

} // namespace pelu::platform::registry
