#include "audio/equalizer.h"

#include "audio/frequency_analyser.h"
#include "platform/mainthread.h"
#include "platform/profile/profile.h"

#include <QLocale>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <new>

namespace pelu {

// ---------------------------------------------------------------------------
// Little-endian stream helpers

namespace {

void put_bytes(QByteArray& out, const void* data, int size)
{
    out.append(static_cast<const char*>(data), size);
}

template <typename T> void put_le(QByteArray& out, T value)
{
    // The stream is little-endian, as is every machine this builds for; memcpy keeps it exact.
    static_assert(std::endian::native == std::endian::little);
    put_bytes(out, &value, sizeof(T));
}

template <typename T> T get_le(const char*& cursor, const char* end)
{
    if (end - cursor < std::ptrdiff_t(sizeof(T)))
        throw EStreamError("Stream read error");
    T value;
    std::memcpy(&value, cursor, sizeof(T));
    cursor += sizeof(T);
    return value;
}

struct ClassRegistry {
    // Sorted by name, compared without regard to case.
    struct Less {
        bool operator()(const QString& a, const QString& b) const
        {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        }
    };
    std::map<QString, TMMEQFilterClass, Less> classes;
    std::mutex mutex;
};

void store_eq_filter(const TMMEQFilter& band, QByteArray& out)
{
    put_le<std::uint8_t>(out, band.Enabled() ? 1 : 0);
    put_le<float>(out, band.F1());
    put_le<float>(out, band.F2());
    put_le<float>(out, band.Gain());
}

std::unique_ptr<TMMEQFilter> load_eq_filter(const char*& cursor, const char* end)
{
    const bool enabled = get_le<std::uint8_t>(cursor, end) != 0;
    const float f1 = get_le<float>(cursor, end);
    const float f2 = get_le<float>(cursor, end);
    const float gain = get_le<float>(cursor, end);
    auto band = std::make_unique<TMMEQFilter>(f1, f2, gain);
    band->SetEnabled(enabled);
    return band;
}

ClassRegistry& registry()
{
    // TMMEQFilter is registered with the registry's creation, before any use.
    static ClassRegistry* instance = [] {
        auto* r = new ClassRegistry;
        r->classes.emplace(QStringLiteral("TMMEQFilter"),
                           TMMEQFilterClass{QStringLiteral("TMMEQFilter"), store_eq_filter, load_eq_filter});
        return r;
    }();
    return *instance;
}

QChar decimal_separator()
{
    const QString point = QLocale().decimalPoint();
    return point.isEmpty() ? QChar(u'.') : point.front();
}

// The locale's float-to-text conversion: the shortest text that reads back as
// the same float32, with the locale's decimal separator.
QString float_to_text(float value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    text.replace(u'.', decimal_separator());
    return text;
}

// Presets travel between machines with different decimal separators: every ',',
// '.' or ';' that is not this locale's separator is taken as it.
float text_to_float(const QString& original)
{
    const QChar sep = decimal_separator();
    QString text = original;
    for (QChar& ch : text)
        if ((ch == u',' || ch == u'.' || ch == u';') && ch != sep)
            ch = sep;
    text = text.trimmed();
    text.replace(sep, u'.');
    if (text.startsWith(u'+'))
        text.remove(0, 1);
    const QByteArray bytes = text.toLatin1();
    float value = 0.0f;
    const auto result = std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), value);
    if (bytes.isEmpty() || result.ec != std::errc() || result.ptr != bytes.constData() + bytes.size() ||
        !std::isfinite(value))
        throw EConvertError("'" + original.toStdString() + "' is not a valid floating point value");
    return value;
}

// Sets the updating flag and opens the band list's update bracket; closing it
// (also on an error) applies the bands once.
class BulkUpdate {
public:
    BulkUpdate(bool& updating, TMMEQFilterList& list) : updating_(updating), list_(list)
    {
        previous_ = updating_;
        updating_ = true;
        list_.BeginUpdate();
    }
    ~BulkUpdate()
    {
        updating_ = previous_;
        list_.EndUpdate();
    }

private:
    bool& updating_;
    TMMEQFilterList& list_;
    bool previous_;
};

} // namespace

void RegisterEQFilterClass(TMMEQFilterClass entry)
{
    ClassRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    const QString name = entry.name;
    r.classes[name] = std::move(entry);
}

const TMMEQFilterClass* FindEQFilterClass(const QString& name)
{
    ClassRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.classes.find(name);
    return it == r.classes.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// TMMEQFilter

void TMMEQFilter::SetChangeNotification(ChangeCallback callback, void* context)
{
    on_change_ = callback;
    context_ = context;
}

void TMMEQFilter::Notify()
{
    if (on_change_)
        on_change_(context_, this);
}

void TMMEQFilter::SetIndexed(int index, float value)
{
    float params[3] = {f1_, f2_, gain_};
    params[index] = value;
    SetParams(params[0], params[1], params[2]);
}

void TMMEQFilter::SetParams(float f1, float f2, float gain)
{
    if (f1 == f1_ && f2 == f2_ && gain == gain_)
        return;
    f1_ = f1;
    f2_ = f2;
    gain_ = gain;
    Notify();
}

void TMMEQFilter::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    Notify();
}

void TMMEQFilter::Assign(const TMMEQFilter& source)
{
    SetParams(source.F1(), source.F2(), source.Gain());
    SetEnabled(source.Enabled());
}

// ---------------------------------------------------------------------------
// TMMEQFilterList

TMMEQFilterList::TMMEQFilterList(TMMEqualizer* owner) : owner_(owner) {}

TMMEQFilterList::~TMMEQFilterList()
{
    if (owns_objects_)
        for (TMMEQFilter* band : items_)
            delete band;
}

TMMEQFilter* TMMEQFilterList::Items(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return items_[std::size_t(index)];
}

void TMMEQFilterList::Grow()
{
    int delta = capacity_ < 5 ? 4 : capacity_ < 9 ? 8 : 16;
    capacity_ = std::min(kMaxCount, capacity_ + delta);
    items_.reserve(std::size_t(capacity_));
}

void TMMEQFilterList::Changing() {}

void TMMEQFilterList::ChangedNotify()
{
    if (owner_)
        owner_->ListChanged();
}

void TMMEQFilterList::BandChanged(void* context, TMMEQFilter* band)
{
    auto* list = static_cast<TMMEQFilterList*>(context);
    if (list->owner_)
        list->owner_->BandChanged(band);
}

int TMMEQFilterList::Add(TMMEQFilter* band)
{
    std::unique_ptr<TMMEQFilter> guard(owns_objects_ ? band : nullptr);
    if (Count() >= kMaxCount)
        throw EListError("List capacity out of bounds (" + std::to_string(Count() + 1) + ")");
    if (Count() == capacity_)
        Grow();
    if (update_count_ == 0)
        Changing();
    items_.push_back(band);
    guard.release();
    if (band)
        band->SetChangeNotification(&TMMEQFilterList::BandChanged, this);
    if (update_count_ == 0)
        ChangedNotify();
    return Count() - 1;
}

TMMEQFilter* TMMEQFilterList::AddBand(float f1, float f2, float gain)
{
    auto* band = new TMMEQFilter(f1, f2, gain);
    Add(band);
    return band;
}

void TMMEQFilterList::Delete(int index)
{
    TMMEQFilter* band = Items(index);
    if (update_count_ == 0)
        Changing();
    items_.erase(items_.begin() + index);
    if (band)
        band->SetChangeNotification(nullptr, nullptr);
    if (owns_objects_)
        delete band;
    if (update_count_ == 0)
        ChangedNotify();
}

void TMMEQFilterList::Clear()
{
    if (update_count_ == 0)
        Changing();
    for (TMMEQFilter* band : items_) {
        if (!band)
            continue;
        band->SetChangeNotification(nullptr, nullptr);
        if (owns_objects_)
            delete band;
    }
    items_.clear();
    capacity_ = 0;
    if (update_count_ == 0)
        ChangedNotify();
}

void TMMEQFilterList::Assign(const TMMEQFilterList& source)
{
    if (&source == this)
        return;
    bool dummy = false;
    BulkUpdate bulk(owner_ ? owner_->updating_ : dummy, *this);
    Clear();
    for (TMMEQFilter* band : source.items_) {
        if (!band)
            continue;
        auto* copy = new TMMEQFilter;
        copy->Assign(*band);
        Add(copy);
    }
}

void TMMEQFilterList::BeginUpdate()
{
    if (update_count_++ == 0)
        Changing();
}

void TMMEQFilterList::EndUpdate()
{
    if (update_count_ == 0)
        return;
    if (--update_count_ == 0)
        ChangedNotify();
}

QByteArray TMMEQFilterList::SaveToStream() const
{
    QByteArray out;
    put_bytes(out, "EQU\0", 4);
    put_le<std::uint8_t>(out, owns_objects_ ? 1 : 0);
    const QByteArray description = (owner_ ? owner_->Description() : QStringLiteral("Untitled")).toLatin1();
    put_le<std::int32_t>(out, std::int32_t(description.size()));
    out.append(description);
    put_le<std::int32_t>(out, owner_ ? owner_->FFTLength() : 256);
    put_le<std::int16_t>(out, std::int16_t(Count()));
    for (TMMEQFilter* band : items_) {
        if (!band)
            throw EClassNotFound("Nil Source Class!");
        const QString name = QString::fromLatin1(band->ClassName());
        const TMMEQFilterClass* cls = FindEQFilterClass(name);
        if (!cls || name.size() > 255)
            throw EClassNotFound("Source Class <" + name.toStdString() + "> not registered");
        const QByteArray name_bytes = name.toLatin1();
        put_le<std::uint8_t>(out, std::uint8_t(name_bytes.size()));
        out.append(name_bytes);
        cls->store(*band, out);
    }
    return out;
}

void TMMEQFilterList::LoadFromStream(const QByteArray& data)
{
    const char* cursor = data.constData();
    const char* end = cursor + data.size();
    if (data.size() < 4 || std::memcmp(cursor, "EQU\0", 4) != 0)
        throw EStreamError("Invalid Object stream");
    cursor += 4;
    bool dummy = false;
    BulkUpdate bulk(owner_ ? owner_->updating_ : dummy, *this);
    Clear();
    owns_objects_ = get_le<std::uint8_t>(cursor, end) != 0;
    const std::int32_t length = get_le<std::int32_t>(cursor, end);
    if (length < 0 || length > end - cursor)
        throw EStreamError("Stream read error");
    // An empty description was saved as empty and reads back as empty.
    const QString description = QString::fromLatin1(cursor, length);
    cursor += length;
    if (owner_)
        owner_->SetDescription(description);
    const std::int32_t fft_length = get_le<std::int32_t>(cursor, end);
    if (owner_)
        owner_->SetFFTLength(fft_length);
    const std::int16_t count = get_le<std::int16_t>(cursor, end);
    if (count < 0)
        throw EStreamError("Invalid Object stream");
    capacity_ = std::min(kMaxCount, Count() + count);
    items_.reserve(std::size_t(capacity_));
    for (int i = 0; i < count; ++i) {
        const std::uint8_t name_length = get_le<std::uint8_t>(cursor, end);
        if (end - cursor < name_length)
            throw EStreamError("Stream read error");
        const QString name = QString::fromLatin1(cursor, name_length);
        cursor += name_length;
        const TMMEQFilterClass* cls = FindEQFilterClass(name);
        if (!cls)
            throw EClassNotFound("Class <" + name.toStdString() + "> not registered");
        std::unique_ptr<TMMEQFilter> band = cls->load(cursor, end);
        Add(band.release());
    }
}

// ---------------------------------------------------------------------------
// TMMEqualizer

TMMEqualizer::TMMEqualizer(QObject* parent) : TMMDSPComponent(parent), filters_(this) {}

TMMEqualizer::~TMMEqualizer()
{
    updating_ = true; // the bands go without notifications
    CloseEngine();
    spectrum_ = nullptr;
}

void TMMEqualizer::CloseEngine()
{
    eq_opened_ = false;
    std::unique_ptr<TMMFFTFilter> old;
    {
        std::lock_guard lock(engine_mutex_);
        old = std::move(engine_);
    }
    DoneFFTFilter(old);
}

int TMMEqualizer::EngineLength() const
{
    return engine_ ? engine_->n : 0;
}

void TMMEqualizer::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    std::lock_guard lock(engine_mutex_);
    enabled_ = value;
    if (engine_)
        ResetFFTFilter(*engine_);
}

void TMMEqualizer::SetSampleRate(int hz)
{
    sample_rate_ = std::clamp(hz, 4000, 100000);
}

void TMMEqualizer::SetFFTLength(int value)
{
    value = floor_power_of_two(std::clamp(value, 8, 4096));
    if (value == fft_length_)
        return;
    fft_length_ = value;
    if (!eq_opened_)
        return;
    // The new engine is complete before it replaces the old one; the buffer
    // thread sees either engine whole.
    std::unique_ptr<TMMFFTFilter> fresh = InitFFTFilter(GetPWaveFormat(), fft_length_, store_size_bytes_);
    if (!fresh)
        throw std::bad_alloc();
    SetFFTFilterWindow(*fresh, window_);
    ApplyAllBandsTo(*fresh);
    {
        std::lock_guard lock(engine_mutex_);
        std::swap(engine_, fresh);
    }
}

void TMMEqualizer::SetWindow(TMMFFTWindow value)
{
    if (value == window_)
        return;
    window_ = value;
    if (eq_opened_ && engine_)
        SetFFTFilterWindow(*engine_, window_);
}

TMMSpectrum* TMMEqualizer::Spectrum() const
{
    return spectrum_.data();
}

void TMMEqualizer::SetSpectrum(TMMSpectrum* display)
{
    if (display == spectrum_)
        return;
    spectrum_ = display;
    // A response display samples the curve exactly at its bins.
    if (display)
        display->SetWindow(fwRectangular);
}

void TMMEqualizer::Assign(const TMMEqualizer& source)
{
    if (&source == this)
        return;
    SetChannel(source.Channel());
    SetEnabled(source.Enabled());
    SetDescription(source.Description());
    SetFFTLength(source.FFTLength());
    SetWindow(source.Window());
    SetFilters(source.Filters());
    SetSampleRate(source.SampleRate());
}

void TMMEqualizer::ApplyAllBands()
{
    if (eq_opened_ && engine_)
        ApplyAllBandsTo(*engine_);
}

void TMMEqualizer::ApplyAllBandsTo(TMMFFTFilter& engine)
{
    SetFFTFilterBand(engine, 0.0f, float(engine.sample_rate / 2), 0.0f);
    for (int i = 0; i < filters_.Count(); ++i) {
        const TMMEQFilter* band = filters_.Items(i);
        if (band && band->Enabled())
            SetFFTFilterBand(engine, band->F1(), band->F2(), band->Gain());
    }
}

void TMMEqualizer::ChangeStep()
{
    if (spectrum_)
        emit spectrum_->AppearanceChanged(); // the response display redraws
    if (OnChange)
        OnChange(this);
}

void TMMEqualizer::BandChanged(TMMEQFilter* band)
{
    if (updating_)
        return;
    if (eq_opened_ && engine_)
        SetFFTFilterBand(*engine_, band->F1(), band->F2(), band->Enabled() ? band->Gain() : 0.0f);
    ChangeStep();
}

void TMMEqualizer::ListChanged()
{
    if (updating_ || filters_.UpdateCount() != 0)
        return;
    ApplyAllBands();
    ChangeStep();
}

void TMMEqualizer::SetPWaveFormat(const WaveFormat* format)
{
    if (format && format != GetPWaveFormat()) {
        if (!is_valid_pcm_format(format) || format->bits_per_sample != 16)
            throw EMMEqualizerError("Invalid WaveFormat");
        SetSampleRate(int(format->samples_per_sec));
    }
    TMMDSPComponent::SetPWaveFormat(format);
}

void TMMEqualizer::Opened()
{
    const WaveFormat* format = GetPWaveFormat();
    if (!eq_opened_ && format && is_valid_pcm_format(format) && format->bits_per_sample == 16) {
        store_size_bytes_ = std::max<int>(65536, BufferSize());
        std::unique_ptr<TMMFFTFilter> engine = InitFFTFilter(format, fft_length_, store_size_bytes_);
        if (!engine)
            throw std::bad_alloc();
        SetFFTFilterWindow(*engine, window_);
        ApplyAllBandsTo(*engine);
        {
            std::lock_guard lock(engine_mutex_);
            engine_ = std::move(engine);
        }
        eq_opened_ = true;
    }
    TMMDSPComponent::Opened();
}

void TMMEqualizer::Closed()
{
    CloseEngine();
    TMMDSPComponent::Closed();
}

void TMMEqualizer::Started()
{
    ApplyAllBands();
    {
        std::lock_guard lock(engine_mutex_);
        if (engine_)
            ResetFFTFilter(*engine_);
    }
    TMMDSPComponent::Started();
}

void TMMEqualizer::Reset()
{
    {
        std::lock_guard lock(engine_mutex_);
        if (engine_)
            ResetFFTFilter(*engine_);
    }
    TMMDSPComponent::Reset();
}

void TMMEqualizer::Process(ExtendedWaveHeader* header)
{
    if (!header || !eq_opened_ || !enabled_)
        return;
    bool clipped = false;
    {
        std::lock_guard lock(engine_mutex_);
        if (!engine_ || !enabled_)
            return;
        clipped = DoFFTFilter(*engine_, channel_.load(), header->data, int(header->bytes_recorded));
    }
    if (clipped) {
        // Run on the main thread without making the buffer thread wait: a stop in
        // the main thread may be waiting for this thread.
        QPointer<TMMEqualizer> self(this);
        platform::post([self] {
            if (self && self->OnPcmOverflow)
                self->OnPcmOverflow(self.data());
        });
    }
}

void TMMEqualizer::BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers)
{
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    Process(lpWaveHdr);
}

void TMMEqualizer::BufferReady(ExtendedWaveHeader* lpWaveHdr)
{
    Process(lpWaveHdr);
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

// ---------------------------------------------------------------------------
// Presets

void TMMEqualizer::SaveToIniFile(const QString& file_name, const QString& name)
{
    if (file_name.isEmpty())
        return;
    platform::PrivateProfile profile(file_name);
    // The whole section is set in one pass and the file replaced once.
    std::vector<std::pair<QString, QString>> keys;
    keys.reserve(4 + std::size_t(filters_.Count()) * 4);
    keys.emplace_back(QStringLiteral("FFTLen"), QString::number(fft_length_));
    keys.emplace_back(QStringLiteral("Samplerate"), QString::number(sample_rate_));
    keys.emplace_back(QStringLiteral("Window"), QString::number(int(window_)));
    keys.emplace_back(QStringLiteral("Bands"), QString::number(filters_.Count()));
    for (int i = 0; i < filters_.Count(); ++i) {
        const TMMEQFilter* band = filters_.Items(i);
        const QString prefix = QStringLiteral("Band") + QString::number(i);
        keys.emplace_back(prefix + QStringLiteral(" f1"), float_to_text(band->F1()));
        keys.emplace_back(prefix + QStringLiteral(" f2"), float_to_text(band->F2()));
        keys.emplace_back(prefix + QStringLiteral(" Gain"), float_to_text(band->Gain()));
        keys.emplace_back(prefix + QStringLiteral(" Enabled"), band->Enabled() ? QStringLiteral("1") : QStringLiteral("0"));
    }
    profile.WriteStrings(QStringLiteral("EQ.") + name, keys);
    profile.Save();
}

void TMMEqualizer::LoadFromIniFile(const QString& file_name, const QString& name)
{
    if (file_name.isEmpty())
        return;
    const platform::PrivateProfile profile(file_name);
    const QString section = QStringLiteral("EQ.") + name;
    // One pass over the file; every key below is then a lookup.
    const QHash<QString, QString> values = profile.SectionValues(section);
    auto text = [&values](const QString& key, const QString& fallback) {
        return values.value(key.toCaseFolded(), fallback);
    };
    auto integer = [&values](const QString& key, int fallback) {
        const auto it = values.constFind(key.toCaseFolded());
        return it == values.constEnd() ? fallback : platform::PrivateProfile::IntegerOf(*it, fallback);
    };
    if (integer(QStringLiteral("FFTLen"), -1) <= 0)
        return;
    auto refuse = [&](const QString& why) {
        throw EMMEqualizerError("Equalizer settings " + file_name.toStdString() + " refused: " + why.toStdString());
    };
    const int count = integer(QStringLiteral("Bands"), 0);
    if (count < 0 || count > kMaxPresetBands)
        refuse(QStringLiteral("Bands=%1 is outside 0..%2").arg(count).arg(kMaxPresetBands));

    // Every band is read and checked before anything changes: a file with a
    // value the equalizer cannot use leaves the present settings whole. A
    // number that does not convert still ends the load after the bands
    // before it, as it always did.
    struct Band {
        float f1, f2, gain;
        bool enabled;
    };
    std::vector<Band> bands;
    bands.reserve(std::size_t(count));
    std::exception_ptr conversion_error;
    const QString zero = QStringLiteral("0");
    for (int i = 0; i < count; ++i) {
        const QString prefix = QStringLiteral("Band") + QString::number(i);
        Band band{};
        try {
            band.f1 = text_to_float(text(prefix + QStringLiteral(" f1"), zero));
            band.f2 = text_to_float(text(prefix + QStringLiteral(" f2"), zero));
            band.gain = text_to_float(text(prefix + QStringLiteral(" Gain"), zero));
        } catch (const EConvertError&) {
            conversion_error = std::current_exception();
            break;
        }
        if (!(std::abs(band.gain) <= kMaxPresetGainDb))
            refuse(QStringLiteral("%1 Gain=%2 is outside -%3..%3 dB").arg(prefix).arg(band.gain).arg(kMaxPresetGainDb));
        for (const float hz : {band.f1, band.f2})
            if (!(hz >= 0.0f && hz <= kMaxPresetFrequencyHz))
                refuse(QStringLiteral("%1 frequency %2 Hz is outside 0..%3 Hz").arg(prefix).arg(hz).arg(kMaxPresetFrequencyHz));
        band.enabled = integer(prefix + QStringLiteral(" Enabled"), 1) != 0;
        bands.push_back(band);
    }

    BulkUpdate bulk(updating_, filters_);
    filters_.Clear();
    SetFFTLength(integer(QStringLiteral("FFTLen"), 256));
    SetSampleRate(integer(QStringLiteral("Samplerate"), 4000));
    const int window = integer(QStringLiteral("Window"), 1);
    // An ordinal no window has is read as the default window.
    SetWindow(window >= fwRectangular && window <= fwParzen ? TMMFFTWindow(window) : fwHamming);
    SetDescription(section);
    for (const Band& band : bands)
        filters_.AddBand(band.f1, band.f2, band.gain)->SetEnabled(band.enabled);
    if (conversion_error)
        std::rethrow_exception(conversion_error);
}

} // namespace pelu
