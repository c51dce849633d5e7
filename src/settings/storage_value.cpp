// TrsValue: the stored values' types, their 8 data bytes and their readings as
// other types (a failed reading throws TrsException).
#include "settings/storage.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>
#include <cstring>
#include <limits>

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

std::int32_t TrsValue::RawInt32(int index) const
{
    std::int32_t v;
    std::memcpy(&v, data_.data() + 4 * index, 4);
    return v;
}

std::int64_t TrsValue::RawInt64() const
{
    std::int64_t v;
    std::memcpy(&v, data_.data(), 8);
    return v;
}

double TrsValue::RawDouble() const
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
        return RawDouble();
    case rvString: {
        double v;
        if (!parse_float(AsString(), v))
            cannot_read("float");
        return v;
    }
    case rvInteger:
        return RawInt32();
    case rvCurrency:
        return double(RawInt64()) / 10000.0;
    case rvInt64:
        return double(RawInt64());
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
        return RawInt32();
    case rvInt64:
        return std::int32_t(std::uint32_t(std::uint64_t(RawInt64()))); // its low 32 bits
    case rvString: {
        std::int64_t v;
        if (!parse_int64(AsString(), v) || v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            cannot_read("integer");
        return std::int32_t(v);
    }
    case rvFloat:
    case rvDateTime:
        return round_checked<std::int32_t>(RawDouble(), "integer");
    case rvCurrency:
        return round_checked<std::int32_t>(double(RawInt64()) / 10000.0, "integer");
    case rvBoolean:
        return RawInt32() != 0 ? 1 : 0;
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
        return RawInt64();
    case rvString: {
        std::int64_t v;
        if (!parse_int64(AsString(), v))
            cannot_read("Int64");
        return v;
    }
    case rvInteger:
        return RawInt32();
    case rvFloat:
        return round_checked<std::int64_t>(RawDouble(), "Int64");
    case rvCurrency: {
        // Exact integer arithmetic, ties to even like the float rounding.
        const std::int64_t c = RawInt64();
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
        return QString::number(RawInt32());
    case rvInt64:
        return QString::number(RawInt64());
    case rvFloat:
        return float_text(RawDouble());
    case rvCurrency:
        return currency_text(RawInt64());
    case rvDateTime:
        return date_time_text(RawDouble());
    case rvBoolean:
        return RawInt32() != 0 ? "True" : "False";
    case rvPoint:
        return QString::asprintf("(%d,%d)", RawInt32(0), RawInt32(1));
    default:
        cannot_read("string");
    }
}

} // namespace pelu
