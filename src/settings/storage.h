// The settings storage: typed values (TrsValue), the in-memory tree of sections
// and values (TrsStorage) with the scrambling of chosen values, and the base of
// every backend that copies the tree to and from somewhere (TrsStorageData).
// The values live in storage_value.cpp, the scrambling in storage_scramble.cpp.
//
// Thread: main thread only; nothing here is locked.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace pelu {

PELU_DECLARE_ERROR(TrsException, pelu::Error)

// The 16-bit type tags of stored values.
enum TrsValueType : std::uint16_t {
    rvEmpty = 0,
    rvString = 1,
    rvBinary = 2,
    rvInteger = 3,
    rvFloat = 4,
    rvCurrency = 5,
    rvDateTime = 6,
    rvBoolean = 7,
    rvPoint = 8,
    rvInt64 = 9,
};
constexpr std::uint16_t kTrsTypeCount = 10;

// A typed value. Strings are 8-bit text (UTF-8); the fixed-size types keep their
// 8 data bytes exactly as the scrambling and the 10-byte registry form carry them.
class TrsValue {
public:
    TrsValue() = default;
    static TrsValue String(const QString& text);
    static TrsValue StringBytes(const QByteArray& utf8);
    static TrsValue Binary(const QByteArray& bytes);
    static TrsValue Integer(std::int32_t v);
    static TrsValue Float(double v);
    static TrsValue Currency(std::int64_t ten_thousandths);
    static TrsValue DateTime(double days);
    static TrsValue Boolean(bool v);
    static TrsValue Point(std::int32_t x, std::int32_t y);
    static TrsValue Int64(std::int64_t v);
    // Type tag and 8 data bytes (a fixed-size type); for string and binary use the
    // named constructors.
    static TrsValue FromData(std::uint16_t type, const std::array<std::uint8_t, 8>& data);

    std::uint16_t Type() const { return type_; }
    bool IsEmpty() const { return type_ == rvEmpty; }
    const QByteArray& Bytes() const { return bytes_; } // string (UTF-8) and binary
    const std::array<std::uint8_t, 8>& Data() const { return data_; }

    // Conversions; a pairing the table does not allow raises TrsException
    // "TrsStorage get key value error: Can't read value as <type> type.".
    double AsFloat() const;
    std::int32_t AsInteger() const;
    std::int64_t AsInt64() const;
    QString AsString() const;

    std::int32_t RawInt32(int index = 0) const;
    std::int64_t RawInt64() const;
    double RawDouble() const;

    bool operator==(const TrsValue& other) const;

private:
    std::uint16_t type_ = rvEmpty;
    QByteArray bytes_;
    std::array<std::uint8_t, 8> data_{};
};

// The built-in scrambling of one value with a 32-bit key: a typed value becomes
// the Base64 text (standard alphabet, no padding) of its tag and data XORed
// word by word with the key. Unscramble returns nullopt when the value is left
// alone (not text, not Base64, or not a scrambled value).
TrsValue TrsScrambleValue(const TrsValue& value, std::int32_t encrypt_id);
std::optional<TrsValue> TrsUnscrambleValue(const TrsValue& value, std::int32_t encrypt_id);

class TrsStorage;

// Base of every backend. Load and Save fire the backend's events around the
// transfer; the after-events run even when the transfer fails.
class TrsStorageData : public QObject {
    Q_OBJECT
public:
    explicit TrsStorageData(QObject* parent = nullptr) : QObject(parent) {}
    ~TrsStorageData() override;

    TrsStorage* Storage() const { return storage_; }

    void Load();
    void Save();

    std::function<void(QObject* sender)> OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;

protected:
    // An active storage using this backend is saved before the backend goes
    // (when it saves on close), so nothing is lost whichever is destroyed first.
    // Every backend calls this from its own destructor, while it still works.
    void SaveStorageBeforeDestruction();
    virtual void DoLoad() = 0;
    virtual void DoSave() = 0;

private:
    friend class TrsStorage;
    QPointer<TrsStorage> storage_;
};

enum TrsStorageOption { soSaveOnClose = 0x1, soSaveEmptySection = 0x2 };

class TrsStorage : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(int EncryptId READ EncryptId WRITE SetEncryptId)
    Q_PROPERTY(QStringList EncryptKeys READ EncryptKeys WRITE SetEncryptKeys)
    Q_PROPERTY(QString RootSection READ RootSection WRITE SetRootSection)
public:
    explicit TrsStorage(QObject* parent = nullptr);
    // Saves first when active with soSaveOnClose.
    ~TrsStorage() override;

    struct Section {
        int id = 0;
        int parent = 0;
        QString name;
    };

    bool Active() const { return active_; }
    void SetActive(bool active);
    std::int32_t EncryptId() const { return encrypt_id_; }
    void SetEncryptId(std::int32_t id) { encrypt_id_ = id; }
    QStringList EncryptKeys() const { return encrypt_keys_; }
    // Kept sorted without regard to case, without duplicates.
    void SetEncryptKeys(const QStringList& keys);
    void AddEncryptKey(const QString& key);
    QString RootSection() const { return root_section_; }
    void SetRootSection(const QString& section) { root_section_ = section; }
    TrsStorageData* StorageData() const { return storage_data_; }
    void SetStorageData(TrsStorageData* data);
    int Options() const { return options_; }
    void SetOptions(int options) { options_ = options; }

    // While the owner is being built, Active is only remembered; Loaded() applies it.
    void BeginLoading() { loading_ = true; }
    void Loaded();

    void Load();
    void Save();
    void Clear();

    // Paths: names separated by "\" or "/"; a leading separator starts at the root,
    // otherwise at RootSection. The last name is the value's.
    bool ValueExists(const QString& path) const;
    bool SectionExists(const QString& path) const;
    std::optional<TrsValue> ReadValue(const QString& path) const;
    void WriteValue(const QString& path, const TrsValue& value);
    bool DeleteValue(const QString& path);

    QString ReadString(const QString& path, const QString& def = {}) const;
    std::int32_t ReadInteger(const QString& path, std::int32_t def = 0) const;
    double ReadFloat(const QString& path, double def = 0) const;
    std::int64_t ReadInt64(const QString& path, std::int64_t def = 0) const;
    QByteArray ReadBinary(const QString& path) const;
    void WriteString(const QString& path, const QString& v) { WriteValue(path, TrsValue::String(v)); }
    void WriteInteger(const QString& path, std::int32_t v) { WriteValue(path, TrsValue::Integer(v)); }
    void WriteFloat(const QString& path, double v) { WriteValue(path, TrsValue::Float(v)); }
    void WriteInt64(const QString& path, std::int64_t v) { WriteValue(path, TrsValue::Int64(v)); }
    void WriteBinary(const QString& path, const QByteArray& v) { WriteValue(path, TrsValue::Binary(v)); }

    // Enter a section below the current one (created when missing) and leave it.
    void EnterSection(const QString& name);
    void LeaveSection();

    // The tree, for backends: ids of sections, 0 being the root.
    int CurrentSectionId(bool create);
    std::vector<Section> ChildSections(int section_id) const;
    std::vector<std::pair<QString, TrsValue>> SectionValues(int section_id) const;
    bool SectionHasContent(int section_id) const;
    int CreateChildSection(int parent_id, const QString& name) { return CreateSection(parent_id, name); }
    void WriteSectionValue(int section_id, const QString& name, const TrsValue& value);

    // Built-in scrambling of the value at a path (nothing when there is none).
    void EncryptKey(const QString& path);
    void DecryptKey(const QString& path);

    std::function<void(QObject* sender)> OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;
    std::function<void(QObject* sender, const QString& key)> OnEncryptKey, OnDecryptKey;

private:
    struct Located {
        int section = -1; // -1: missing
        QString name;
    };
    // Resolves the sections of a path; with `create` the missing ones are made.
    Located Locate(const QString& path) const;
    Located LocateCreating(const QString& path);
    Located LocateImpl(const QString& path, bool create);
    int FindSection(int parent, const QString& name) const;
    int CreateSection(int parent, const QString& name);
    static QString NormalizedKey(const QString& key);

    bool active_ = false;
    bool pending_active_ = false;
    bool loading_ = false;
    std::int32_t encrypt_id_;
    QStringList encrypt_keys_;
    QString root_section_;
    std::vector<QString> section_stack_;
    QPointer<TrsStorageData> storage_data_;
    int options_ = soSaveOnClose;

    int next_section_id_ = 1;
    // sections by (parent id, folded name); values by (section id, folded name)
    std::map<std::pair<int, QString>, Section> sections_;
    std::map<std::pair<int, QString>, std::pair<QString, TrsValue>> values_;
};

} // namespace pelu
