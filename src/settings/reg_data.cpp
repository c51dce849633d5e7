#include "settings/reg_data.h"

#include "platform/registry/reg_file.h"

#include <QFile>

#include <cstring>

namespace {
// Each attempt waits the store's busy timeout (10 s) for another writer.
constexpr int kBusySaveAttempts = 6;
} // namespace

namespace pelu {

namespace reg = platform::registry;

namespace {

// Trim as the original's text trimming: blanks and control characters at both ends.
QString trimmed_text(const QString& text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin].unicode() <= ' ')
        ++begin;
    while (end > begin && text[end - 1].unicode() <= ' ')
        --end;
    return text.mid(begin, end - begin);
}

bool is_ten_byte_type(std::uint16_t t)
{
    return t == rvFloat || t == rvCurrency || t == rvDateTime || t == rvPoint || t == rvInt64;
}

} // namespace

std::optional<reg::Value> TrsToRegistryValue(const QString& name, const TrsValue& value)
{
    switch (value.Type()) {
    case rvEmpty:
        return std::nullopt;
    case rvString:
        return reg::Value::string(name, value.AsString());
    case rvBinary:
        return reg::Value::binary(name, value.Bytes());
    case rvInteger:
    case rvBoolean:
        return reg::Value::number(name, std::uint32_t(value.RawInt32()));
    default: {
        QByteArray bytes;
        bytes.append(char(value.Type() & 0xFF));
        bytes.append(char(value.Type() >> 8));
        bytes.append(reinterpret_cast<const char*>(value.Data().data()), 8);
        return reg::Value::binary(name, bytes);
    }
    }
}

std::optional<TrsValue> TrsFromRegistryValue(const reg::Value& value)
{
    switch (value.type) {
    case reg::ValueType::String:
    case reg::ValueType::ExpandString:
        return TrsValue::String(trimmed_text(value.text));
    case reg::ValueType::Dword:
        return TrsValue::Integer(std::int32_t(value.dword));
    case reg::ValueType::Binary: {
        const QByteArray& b = value.bytes;
        if (b.size() == 10) {
            const std::uint16_t t = std::uint16_t(std::uint8_t(b[0]) | (std::uint8_t(b[1]) << 8));
            if (is_ten_byte_type(t)) {
                std::array<std::uint8_t, 8> data{};
                std::memcpy(data.data(), b.constData() + 2, 8);
                TrsValue v = TrsValue::FromData(t, data);
                // A currency reads back as a float of its count / 10000.
                if (t == rvCurrency)
                    return TrsValue::Float(double(v.RawInt64()) / 10000.0);
                return v;
            }
        }
        return TrsValue::Binary(b);
    }
    }
    return std::nullopt;
}

std::shared_ptr<reg::Store> TrsRegData::Registry()
{
    if (!store_)
        store_ = reg::Store::open_default();
    return store_;
}

std::optional<reg::Hive> TrsRegData::HiveOf() const
{
    switch (root_key_) {
    case rkClassesRoot:
        return reg::Hive::ClassesRoot;
    case rkCurrentUser:
        return reg::Hive::CurrentUser;
    case rkLocalMachine:
        return reg::Hive::LocalMachine;
    default:
        return std::nullopt; // roots this store does not keep: nothing to read or write
    }
}

void TrsRegData::LoadKey(reg::Store& store, reg::KeyId key, int section_id)
{
    TrsStorage* storage = Storage();
    // Values go in by section and name, not by path: a registry value name may
    // hold a "\" and must come back under the same name.
    for (const reg::Value& value : store.values(key)) {
        if (value.name.size() > kMaxNameLength)
            break;
        if (auto v = TrsFromRegistryValue(value))
            storage->WriteSectionValue(section_id, value.name, *v);
    }
    for (const QString& name : store.subkeys(key)) {
        if (name.size() > kMaxNameLength)
            break;
        if (auto child = store.open_key(key, name))
            LoadKey(store, *child, storage->CreateChildSection(section_id, name));
    }
}

void TrsRegData::SetRootPath(const QString& path)
{
    qsizetype begin = 0;
    qsizetype end = path.size();
    auto separator = [](QChar c) { return c == QLatin1Char('\\') || c == QLatin1Char('/'); };
    while (begin < end && separator(path[begin]))
        ++begin;
    while (end > begin && separator(path[end - 1]))
        --end;
    root_path_ = path.mid(begin, end - begin);
}

void TrsRegData::DoLoad()
{
    TrsStorage* storage = Storage();
    const auto hive = HiveOf();
    if (!storage || root_path_.isEmpty() || !hive)
        return;
    std::shared_ptr<reg::Store> store;
    try {
        store = Registry();
    } catch (const reg::RegistryError&) {
        return; // no store: nothing to read, as with a missing key
    }
    // A save that failed last time goes into the store first; when the store is
    // still busy, the kept values are what this load reads.
    reg::Store* source = store.get();
    std::unique_ptr<reg::Store> kept;
    if (!MoveUnsavedInto(*store, *hive)) {
        kept = UnsavedStore(false);
        if (kept)
            source = kept.get();
    }
    // One read snapshot: the subtree as one committed state.
    source->transaction(
        [&] {
            auto key = source->open_key(*hive, root_path_);
            if (key)
                LoadKey(*source, *key, storage->CurrentSectionId(true));
        },
        false);
}

std::unique_ptr<reg::Store> TrsRegData::UnsavedStore(bool create)
{
    const QString path = store_->path() + QStringLiteral(".unsaved");
    if (!create && !QFile::exists(path))
        return nullptr;
    try {
        return std::make_unique<reg::Store>(path, create ? reg::OpenMode::CreateIfMissing : reg::OpenMode::ExistingOnly);
    } catch (const reg::RegistryError& error) {
        qWarning("pelu: %s", error.what());
        return nullptr;
    }
}

void TrsRegData::KeepUnsaved(reg::Hive hive, int root)
{
    auto kept = UnsavedStore(true);
    if (!kept)
        return;
    try {
        SaveSubtree(*kept, hive, root);
        qWarning("pelu: the settings are kept in %s until the store can take them",
                 qPrintable(kept->path()));
    } catch (const reg::RegistryError& error) {
        qWarning("pelu: the settings could not be kept either: %s", error.what());
    }
}

bool TrsRegData::MoveUnsavedInto(reg::Store& store, reg::Hive hive)
{
    auto kept = UnsavedStore(false);
    if (!kept)
        return true;
    try {
        const auto key = kept->open_key(hive, root_path_);
        if (!key)
            return true;
        const reg::RegFile subtree = reg::parse_reg_file(reg::export_reg_file(*kept, std::pair{hive, root_path_}));
        reg::apply_reg_file(store, subtree, true);
        DropUnsaved(std::move(kept), hive);
        return true;
    } catch (const reg::RegistryError& error) {
        qWarning("pelu: the settings kept from a failed save could not be stored yet: %s", error.what());
        return false;
    }
}

void TrsRegData::DropUnsaved(std::unique_ptr<reg::Store> kept, reg::Hive hive)
{
    if (const auto key = kept->open_key(hive, root_path_))
        kept->delete_key(*key);
    // Then the keys above it that hold nothing else.
    for (QString path = root_path_.section(QLatin1Char('\\'), 0, -2); !path.isEmpty();
         path = path.section(QLatin1Char('\\'), 0, -2)) {
        const auto key = kept->open_key(hive, path);
        if (!key || !kept->subkeys(*key).isEmpty() || !kept->values(*key).empty())
            break;
        kept->delete_key(*key);
    }
    // The side store goes once it keeps nothing more.
    for (const reg::Hive any : {reg::Hive::ClassesRoot, reg::Hive::CurrentUser, reg::Hive::LocalMachine}) {
        if (!kept->subkeys(kept->hive_key(any)).isEmpty())
            return;
    }
    const QString path = kept->path();
    kept.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

void TrsRegData::SaveSubtree(reg::Store& store, reg::Hive hive, int root)
{
    // One transaction: the old subtree goes and the new one comes together.
    store.transaction([&] {
        const reg::KeyId key = store.create_key(hive, root_path_);
        store.clear_key(key);
        if (root >= 0)
            SaveSection(store, key, root);
    });
}

void TrsRegData::SaveSection(reg::Store& store, reg::KeyId key, int section_id)
{
    TrsStorage* storage = Storage();
    for (const auto& [name, value] : storage->SectionValues(section_id)) {
        if (auto v = TrsToRegistryValue(name, value))
            store.set_value(key, *v);
    }
    const bool save_empty = storage->Options() & soSaveEmptySection;
    for (const TrsStorage::Section& child : storage->ChildSections(section_id)) {
        if (!save_empty && !storage->SectionHasContent(child.id))
            continue;
        SaveSection(store, store.create_key(key, child.name), child.id);
    }
}

void TrsRegData::DoSave()
{
    TrsStorage* storage = Storage();
    const auto hive = HiveOf();
    if (!storage || root_path_.isEmpty() || !hive)
        return;
    std::shared_ptr<reg::Store> store;
    try {
        store = Registry();
    } catch (const reg::RegistryError&) {
        return; // a key that cannot be created saves nothing
    }
    const int root = storage->CurrentSectionId(false);
    // Another program's long write (an import) may hold the store: the save
    // waits for it, one busy timeout at a time, up to a bound. One that still
    // fails is reported and kept beside the store for the next load; the values
    // also stay in the storage for the next save.
    for (int attempt = 1;; ++attempt) {
        try {
            SaveSubtree(*store, *hive, root);
            // Anything kept from an earlier failure is older than what is stored now.
            if (auto kept = UnsavedStore(false)) {
                try {
                    DropUnsaved(std::move(kept), *hive);
                } catch (const reg::RegistryError& error) {
                    qWarning("pelu: %s", error.what());
                }
            }
            return;
        } catch (const reg::RegistryBusyError& error) {
            if (attempt < kBusySaveAttempts)
                continue;
            qWarning("pelu: the settings could not be saved, the store stayed busy: %s", error.what());
            KeepUnsaved(*hive, root);
            throw;
        }
    }
}

} // namespace pelu
