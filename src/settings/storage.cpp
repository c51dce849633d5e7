#include "settings/storage.h"

#include <QDateTime>
#include <QLocale>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace pelu {

namespace {

[[noreturn]] void cannot_read(const char* as)
{
    throw TrsException(std::string("TrsStorage get key value error: Can't read value as ") + as + " type.");
}

template <typename T>
T round_checked(double v, const char* as)
{
    const double r = std::nearbyint(v); // ties to even, as the original rounding
    if (!std::isfinite(r) || r < double(std::numeric_limits<T>::min()) ||
        r > double(std::numeric_limits<T>::max()))
        cannot_read(as);
    return T(r);
}

// Numbers as text use the C locale, so text written on one machine reads back on
// another whatever its locale.
QString float_text(double v)
{
    return QLocale::c().toString(v, 'g', QLocale::FloatingPointShortest);
}

QString currency_text(std::int64_t count)
{
    const bool negative = count < 0;
    const std::uint64_t magnitude = negative ? 0 - std::uint64_t(count) : std::uint64_t(count);
    QString text = QString::number(magnitude / 10000);
    std::uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        QString digits = QString::number(fraction).rightJustified(4, '0');
        while (digits.endsWith('0'))
            digits.chop(1);
        text += "." + digits;
    }
    return negative ? "-" + text : text;
}

// Date-time values count days from 1899-12-30 (the fraction is the time of day).
QString date_time_text(double days)
{
    static const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
    if (!std::isfinite(days) || std::fabs(days) > 3e6)
        return float_text(days);
    const qint64 ms = qint64(std::llround(days * 86400000.0));
    const QDateTime t = epoch.addMSecs(ms);
    if (t.time() == QTime(0, 0))
        return t.toString("yyyy-MM-dd");
    return t.toString("yyyy-MM-dd hh:mm:ss");
}

bool parse_int64(const QString& text, std::int64_t& out)
{
    bool ok = false;
    out = text.trimmed().toLongLong(&ok);
    return ok;
}

bool parse_float(const QString& text, double& out)
{
    bool ok = false;
    out = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok;
}

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

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

QByteArray base64_encode_unpadded(const QByteArray& in)
{
    QByteArray out;
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.constData());
    const qsizetype n = in.size();
    qsizetype i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t w = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
        out += kBase64[(w >> 6) & 63];
        out += kBase64[w & 63];
    }
    if (n - i == 1) {
        const std::uint32_t w = p[i] << 16;
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
    } else if (n - i == 2) {
        const std::uint32_t w = (p[i] << 16) | (p[i + 1] << 8);
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
        out += kBase64[(w >> 6) & 63];
    }
    return out;
}

// Empty on any character outside the alphabet or a last group of one character.
QByteArray base64_decode_unpadded(const QByteArray& in)
{
    QByteArray out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        const char* at = std::strchr(kBase64, c);
        if (c == 0 || !at)
            return {};
        acc = (acc << 6) | std::uint32_t(at - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    if (in.size() % 4 == 1)
        return {};
    return out;
}

void xor_words(QByteArray& bytes, std::int32_t key)
{
    while (bytes.size() % 4 != 0)
        bytes.append('\0');
    const auto k = std::uint32_t(key);
    for (qsizetype i = 0; i < bytes.size(); i += 4) {
        for (int b = 0; b < 4; ++b)
            bytes[i + b] = char(std::uint8_t(bytes[i + b]) ^ std::uint8_t(k >> (8 * b)));
    }
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
// TrsValue

TrsValue TrsValue::String(const QString& text)
{
    return StringBytes(text.toUtf8());
}

TrsValue TrsValue::StringBytes(const QByteArray& utf8)
{
    TrsValue v;
    v.type_ = rvString;
    v.bytes_ = utf8;
    return v;
}

TrsValue TrsValue::Binary(const QByteArray& bytes)
{
    TrsValue v;
    v.type_ = rvBinary;
    v.bytes_ = bytes;
    return v;
}

TrsValue TrsValue::FromData(std::uint16_t type, const std::array<std::uint8_t, 8>& data)
{
    TrsValue v;
    v.type_ = type;
    v.data_ = data;
    return v;
}

namespace {
template <typename T>
std::array<std::uint8_t, 8> data_of(T value, std::size_t offset = 0, std::array<std::uint8_t, 8> base = {})
{
    std::memcpy(base.data() + offset, &value, sizeof(T)); // little-endian machine
    return base;
}
} // namespace

TrsValue TrsValue::Integer(std::int32_t v) { return FromData(rvInteger, data_of(v)); }
TrsValue TrsValue::Float(double v) { return FromData(rvFloat, data_of(v)); }
TrsValue TrsValue::Currency(std::int64_t v) { return FromData(rvCurrency, data_of(v)); }
TrsValue TrsValue::DateTime(double v) { return FromData(rvDateTime, data_of(v)); }
TrsValue TrsValue::Boolean(bool v) { return FromData(rvBoolean, data_of(std::int32_t(v ? 1 : 0))); }
TrsValue TrsValue::Point(std::int32_t x, std::int32_t y) { return FromData(rvPoint, data_of(y, 4, data_of(x))); }
TrsValue TrsValue::Int64(std::int64_t v) { return FromData(rvInt64, data_of(v)); }

std::int32_t TrsValue::rawInt32(int index) const
{
    std::int32_t v;
    std::memcpy(&v, data_.data() + 4 * index, 4);
    return v;
}

std::int64_t TrsValue::rawInt64() const
{
    std::int64_t v;
    std::memcpy(&v, data_.data(), 8);
    return v;
}

double TrsValue::rawDouble() const
{
    double v;
    std::memcpy(&v, data_.data(), 8);
    return v;
}

bool TrsValue::operator==(const TrsValue& o) const
{
    if (type_ != o.type_)
        return false;
    if (type_ == rvString || type_ == rvBinary)
        return bytes_ == o.bytes_;
    return data_ == o.data_;
}

double TrsValue::AsFloat() const
{
    switch (type_) {
    case rvEmpty:
        return 0;
    case rvFloat:
        return rawDouble();
    case rvString: {
        double v;
        if (!parse_float(AsString(), v))
            cannot_read("float");
        return v;
    }
    case rvInteger:
        return rawInt32();
    case rvCurrency:
        return double(rawInt64()) / 10000.0;
    case rvInt64:
        return double(rawInt64());
    default:
        cannot_read("float");
    }
}

std::int32_t TrsValue::AsInteger() const
{
    switch (type_) {
    case rvEmpty:
        return 0;
    case rvInteger:
        return rawInt32();
    case rvInt64:
        return std::int32_t(std::uint32_t(std::uint64_t(rawInt64()))); // its low 32 bits
    case rvString: {
        std::int64_t v;
        if (!parse_int64(AsString(), v) || v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            cannot_read("integer");
        return std::int32_t(v);
    }
    case rvFloat:
    case rvDateTime:
        return round_checked<std::int32_t>(rawDouble(), "integer");
    case rvCurrency:
        return round_checked<std::int32_t>(double(rawInt64()) / 10000.0, "integer");
    case rvBoolean:
        return rawInt32() != 0 ? 1 : 0;
    default:
        cannot_read("integer");
    }
}

std::int64_t TrsValue::AsInt64() const
{
    switch (type_) {
    case rvEmpty:
        return 0;
    case rvInt64:
        return rawInt64();
    case rvString: {
        std::int64_t v;
        if (!parse_int64(AsString(), v))
            cannot_read("Int64");
        return v;
    }
    case rvInteger:
        return rawInt32();
    case rvFloat:
        return round_checked<std::int64_t>(rawDouble(), "Int64");
    case rvCurrency: {
        // Exact integer arithmetic, ties to even like the float rounding.
        const std::int64_t c = rawInt64();
        std::int64_t q = c / 10000, r = c % 10000;
        if (r > 5000 || (r == 5000 && (q & 1)))
            ++q;
        else if (r < -5000 || (r == -5000 && (q & 1)))
            --q;
        return q;
    }
    default:
        cannot_read("Int64");
    }
}

QString TrsValue::AsString() const
{
    switch (type_) {
    case rvEmpty:
        return {};
    case rvString:
    case rvBinary:
        return QString::fromUtf8(bytes_);
    case rvInteger:
        return QString::number(rawInt32());
    case rvInt64:
        return QString::number(rawInt64());
    case rvFloat:
        return float_text(rawDouble());
    case rvCurrency:
        return currency_text(rawInt64());
    case rvDateTime:
        return date_time_text(rawDouble());
    case rvBoolean:
        return rawInt32() != 0 ? "True" : "False";
    case rvPoint:
        return QString::asprintf("(%d,%d)", rawInt32(0), rawInt32(1));
    default:
        cannot_read("string");
    }
}

// ---------------------------------------------------------------------------
// Scrambling

TrsValue TrsScrambleValue(const TrsValue& value, std::int32_t encrypt_id)
{
    const std::uint16_t t = value.type();
    QByteArray b;
    b.append(char(t & 0xFF));
    b.append(char(t >> 8));
    qsizetype length;
    if (t == rvString || t == rvBinary) {
        b.append(value.bytes());
        length = value.bytes().size();
    } else {
        b.append(reinterpret_cast<const char*>(value.data().data()), 8);
        length = 8;
    }
    xor_words(b, encrypt_id);
    const QByteArray text = base64_encode_unpadded(b.left(length + 2));
    return t == rvBinary ? TrsValue::Binary(text) : TrsValue::StringBytes(text);
}

std::optional<TrsValue> TrsUnscrambleValue(const TrsValue& value, std::int32_t encrypt_id)
{
    if (value.type() != rvString && value.type() != rvBinary)
        return std::nullopt;
    QByteArray b = base64_decode_unpadded(value.bytes());
    if (b.isEmpty())
        return std::nullopt;
    const qsizetype length = b.size();
    xor_words(b, encrypt_id);
    if (length < 2)
        return std::nullopt;
    const std::uint16_t t = std::uint16_t(std::uint8_t(b[0]) | (std::uint8_t(b[1]) << 8));
    if (t >= kTrsTypeCount)
        return std::nullopt;
    if (t == rvString)
        return TrsValue::StringBytes(b.mid(2, length - 2));
    if (t == rvBinary)
        return TrsValue::Binary(b.mid(2, length - 2));
    // A fixed-size type needs its 8 data bytes; shorter text is not a scrambled
    // value (reading past it would make a value out of padding).
    if (length < 10)
        return std::nullopt;
    std::array<std::uint8_t, 8> data{};
    std::memcpy(data.data(), b.constData() + 2, 8);
    return TrsValue::FromData(t, data);
}

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
    if (v->type() == rvBinary || v->type() == rvString)
        return v->bytes();
    return QByteArray(reinterpret_cast<const char*>(v->data().data()), 8);
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
