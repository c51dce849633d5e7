#include "settings/storage.h"

#include <chrono>
#include <random>

namespace pelu {

namespace {

std::int32_t bit_reversed(std::uint32_t v)
{
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i) {
        r = (r << 1) | (v & 1);
        v >>= 1;
    }
    return std::int32_t(r);
}

std::int32_t run_time_encrypt_id()
{
    const auto tick = std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    std::mt19937 random(std::uint32_t(std::chrono::system_clock::now().time_since_epoch().count()));
    return bit_reversed(tick) ^ std::int32_t(random());
}

QStringList path_parts(const QString& path, bool& absolute)
{
    QString p = path;
    p.replace('/', '\\');
    absolute = p.startsWith('\\');
    QStringList parts = p.split('\\');
    if (absolute)
        parts.removeFirst();
    return parts;
}

} // namespace

// ---------------------------------------------------------------------------
// TrsStorageData

TrsStorageData::~TrsStorageData()
{
    if (storage_ && storage_->StorageData() == this)
        storage_->SetStorageData(nullptr);
}

void TrsStorageData::SaveStorageBeforeDestruction()
{
    if (storage_ && storage_->Active() && (storage_->Options() & soSaveOnClose)) {
        try {
            storage_->Save();
        } catch (...) {
            // Destruction cannot report; the stored subtree keeps its last state.
        }
    }
}

void TrsStorageData::Load()
{
    if (OnBeforeLoad)
        OnBeforeLoad(this);
    try {
        DoLoad();
    } catch (...) {
        if (OnAfterLoad)
            OnAfterLoad(this);
        throw;
    }
    if (OnAfterLoad)
        OnAfterLoad(this);
}

void TrsStorageData::Save()
{
    if (OnBeforeSave)
        OnBeforeSave(this);
    try {
        DoSave();
    } catch (...) {
        if (OnAfterSave)
            OnAfterSave(this);
        throw;
    }
    if (OnAfterSave)
        OnAfterSave(this);
}

// ---------------------------------------------------------------------------
// TrsStorage

TrsStorage::TrsStorage(QObject* parent) : QObject(parent), encrypt_id_(run_time_encrypt_id()) {}

TrsStorage::~TrsStorage()
{
    if (active_ && (options_ & soSaveOnClose)) {
        try {
            Save();
        } catch (...) {
            // Destruction cannot report; the stored subtree keeps its last state.
        }
    }
    if (storage_data_ && storage_data_->storage_ == this)
        storage_data_->storage_ = nullptr;
}

void TrsStorage::SetActive(bool active)
{
    if (loading_) {
        pending_active_ = active;
        return;
    }
    if (active == active_)
        return;
    if (active) {
        Load();
        active_ = true;
    } else {
        active_ = false;
        if (options_ & soSaveOnClose)
            Save();
    }
}

void TrsStorage::Loaded()
{
    if (!loading_)
        return;
    loading_ = false;
    SetActive(pending_active_);
}

void TrsStorage::SetStorageData(TrsStorageData* data)
{
    if (storage_data_ == data)
        return;
    if (storage_data_ && storage_data_->storage_ == this)
        storage_data_->storage_ = nullptr;
    storage_data_ = data;
    if (data)
        data->storage_ = this;
}

QString TrsStorage::NormalizedKey(const QString& key)
{
    QString k = key;
    k.replace('/', '\\');
    if (!k.startsWith('\\'))
        k.prepend('\\');
    return k;
}

void TrsStorage::SetEncryptKeys(const QStringList& keys)
{
    encrypt_keys_.clear();
    for (const QString& k : keys)
        AddEncryptKey(k);
}

void TrsStorage::AddEncryptKey(const QString& key)
{
    for (const QString& k : encrypt_keys_)
        if (k.compare(key, Qt::CaseInsensitive) == 0)
            return;
    auto at = std::lower_bound(encrypt_keys_.begin(), encrypt_keys_.end(), key, [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    encrypt_keys_.insert(at, key);
}

void TrsStorage::Clear()
{
    sections_.clear();
    values_.clear();
    next_section_id_ = 1;
}

int TrsStorage::FindSection(int parent, const QString& name) const
{
    auto it = sections_.find({parent, name.toCaseFolded()});
    return it == sections_.end() ? -1 : it->second.id;
}

int TrsStorage::CreateSection(int parent, const QString& name)
{
    const int found = FindSection(parent, name);
    if (found >= 0)
        return found;
    Section s{next_section_id_++, parent, name};
    sections_.emplace(std::make_pair(parent, name.toCaseFolded()), s);
    return s.id;
}

TrsStorage::Located TrsStorage::Locate(const QString& path) const
{
    return const_cast<TrsStorage*>(this)->LocateImpl(path, false);
}

TrsStorage::Located TrsStorage::LocateCreating(const QString& path)
{
    return LocateImpl(path, true);
}

TrsStorage::Located TrsStorage::LocateImpl(const QString& path, bool create)
{
    bool absolute = false;
    QStringList parts = path_parts(path, absolute);
    Located result;
    result.name = parts.takeLast();
    if (!absolute) {
        bool ignored = false;
        QStringList root = path_parts(root_section_, ignored);
        parts = root + parts;
    }
    int section = 0;
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue; // doubled separators
        const int next = create ? CreateSection(section, part) : FindSection(section, part);
        if (next < 0)
            return result;
        section = next;
    }
    result.section = section;
    return result;
}

int TrsStorage::CurrentSectionId(bool create)
{
    const Located l = create ? LocateCreating(root_section_ + "\\x") : Locate(root_section_ + "\\x");
    return l.section;
}

bool TrsStorage::ValueExists(const QString& path) const
{
    return ReadValue(path).has_value();
}

bool TrsStorage::SectionExists(const QString& path) const
{
    return Locate(path + "\\x").section >= 0;
}

std::optional<TrsValue> TrsStorage::ReadValue(const QString& path) const
{
    const Located l = Locate(path);
    if (l.section < 0)
        return std::nullopt;
    auto it = values_.find({l.section, l.name.toCaseFolded()});
    if (it == values_.end())
        return std::nullopt;
    return it->second.second;
}

void TrsStorage::WriteValue(const QString& path, const TrsValue& value)
{
    const Located l = LocateCreating(path);
    WriteSectionValue(l.section, l.name, value);
}

void TrsStorage::WriteSectionValue(int section_id, const QString& name, const TrsValue& value)
{
    auto key = std::make_pair(section_id, name.toCaseFolded());
    auto it = values_.find(key);
    if (it != values_.end())
        it->second.second = value; // keeps the name's first spelling
    else
        values_.emplace(key, std::make_pair(name, value));
}

bool TrsStorage::DeleteValue(const QString& path)
{
    const Located l = Locate(path);
    if (l.section < 0)
        return false;
    return values_.erase({l.section, l.name.toCaseFolded()}) > 0;
}

QString TrsStorage::ReadString(const QString& path, const QString& def) const
{
    auto v = ReadValue(path);
    return v ? v->AsString() : def;
}

std::int32_t TrsStorage::ReadInteger(const QString& path, std::int32_t def) const
{
    auto v = ReadValue(path);
    return v ? v->AsInteger() : def;
}

double TrsStorage::ReadFloat(const QString& path, double def) const
{
    auto v = ReadValue(path);
    return v ? v->AsFloat() : def;
}

std::int64_t TrsStorage::ReadInt64(const QString& path, std::int64_t def) const
{
    auto v = ReadValue(path);
    return v ? v->AsInt64() : def;
}

QByteArray TrsStorage::ReadBinary(const QString& path) const
{
    auto v = ReadValue(path);
    if (!v)
        return {};
    if (v->Type() == rvBinary || v->Type() == rvString)
        return v->Bytes();
    return QByteArray(reinterpret_cast<const char*>(v->Data().data()), 8);
}

void TrsStorage::EnterSection(const QString& name)
{
    section_stack_.push_back(root_section_);
    root_section_ = root_section_.isEmpty() ? "\\" + name : root_section_ + "\\" + name;
    CurrentSectionId(true);
}

void TrsStorage::LeaveSection()
{
    if (section_stack_.empty())
        return;
    root_section_ = section_stack_.back();
    section_stack_.pop_back();
}

std::vector<TrsStorage::Section> TrsStorage::ChildSections(int section_id) const
{
    std::vector<Section> result;
    for (auto it = sections_.lower_bound({section_id, QString()}); it != sections_.end() && it->first.first == section_id;
         ++it)
        result.push_back(it->second);
    return result;
}

std::vector<std::pair<QString, TrsValue>> TrsStorage::SectionValues(int section_id) const
{
    std::vector<std::pair<QString, TrsValue>> result;
    for (auto it = values_.lower_bound({section_id, QString()}); it != values_.end() && it->first.first == section_id;
         ++it)
        result.push_back(it->second);
    return result;
}

bool TrsStorage::SectionHasContent(int section_id) const
{
    auto v = values_.lower_bound({section_id, QString()});
    if (v != values_.end() && v->first.first == section_id)
        return true;
    auto s = sections_.lower_bound({section_id, QString()});
    return s != sections_.end() && s->first.first == section_id;
}

void TrsStorage::EncryptKey(const QString& path)
{
    auto v = ReadValue(path);
    if (!v)
        return;
    WriteValue(path, TrsScrambleValue(*v, encrypt_id_));
}

void TrsStorage::DecryptKey(const QString& path)
{
    auto v = ReadValue(path);
    if (!v)
        return;
    if (auto plain = TrsUnscrambleValue(*v, encrypt_id_))
        WriteValue(path, *plain);
}

void TrsStorage::Load()
{
    Clear();
    if (OnBeforeLoad)
        OnBeforeLoad(this);
    if (storage_data_) {
        // The transfer runs at the root, as a save does: loading into whatever
        // section a saver left current would nest the whole tree one level down
        // and the next save would write it there.
        const QString saved_root = root_section_;
        root_section_.clear();
        try {
            storage_data_->Load();
        } catch (...) {
            root_section_ = saved_root;
            throw;
        }
        root_section_ = saved_root;
        for (const QString& key : encrypt_keys_) {
            const QString path = NormalizedKey(key);
            if (OnDecryptKey)
                OnDecryptKey(this, path);
            else
                DecryptKey(path);
        }
    }
    if (OnAfterLoad)
        OnAfterLoad(this);
}

void TrsStorage::Save()
{
    if (OnBeforeSave)
        OnBeforeSave(this);
    if (storage_data_) {
        std::vector<std::pair<QString, TrsValue>> plain;
        for (const QString& key : encrypt_keys_) {
            const QString path = NormalizedKey(key);
            if (auto v = ReadValue(path))
                plain.emplace_back(path, *v);
        }
        const QString saved_root = root_section_;
        auto restore = [&] {
            root_section_ = saved_root;
            // The tree in memory never keeps scrambled values, even when the
            // transfer fails.
            for (const auto& [path, value] : plain)
                WriteValue(path, value);
        };
        try {
            for (const auto& [path, value] : plain) {
                if (OnEncryptKey)
                    OnEncryptKey(this, path);
                else
                    EncryptKey(path);
            }
            root_section_.clear();
            storage_data_->Save();
        } catch (...) {
            restore();
            throw;
        }
        restore();
    }
    if (OnAfterSave)
        OnAfterSave(this);
}

} // namespace pelu

