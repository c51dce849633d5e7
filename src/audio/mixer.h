// Mixer volume control: the mixer device, its lines and their controls, and the
// logic of the mixer slider (range and position mapping, writes, following
// changes made elsewhere). The visible slider only paints TMMCustomMixerSlider
// and feeds it the user's moves.
// The slider and its control link are in mixer_slider.cpp.
//
// Change notices travel device -> lines -> controls -> slider links through the
// observer pair of the chain base.
//
// Thread: main thread only. The platform delivers the mixer's notices on the
// main thread.
#pragma once

#include "audio/dsp_object.h"
#include "platform/mixer/mixer_device.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace pelu {

PELU_DECLARE_ERROR(EMMDeviceError, pelu::Error)
PELU_DECLARE_ERROR(EMMMixerDeviceError, EMMDeviceError)
PELU_DECLARE_ERROR(EMMMixerServiceError, pelu::Error)
PELU_DECLARE_ERROR(EMMMixerControlError, pelu::Error)
PELU_DECLARE_ERROR(EMMMixerControlsError, pelu::Error)
PELU_DECLARE_ERROR(EMMMCIError, pelu::Error)

// A notice passed to the observers (the `data` of TMMObserver::OnChange).
struct TMMMixerChange {
    enum Kind {
        mcDeviceChange,    // a device's id or caps changed: lines find themselves again
        mcLineChange,      // TMMLineChange: a line of the mixer changed
        mcControlChange,   // TMMControlChange: a control's value changed
        mcLineIdChange,    // a line found itself (again): its controls do the same
        mcControlIdChange, // a control found itself (again): its sliders re-read
    };
    Kind kind = mcDeviceChange;
    int line_id = -1;
    int control_id = -1;
};

struct TMMDeviceCaps {
    int ManufacturerId = 0;
    int ProductId = 0;
    int VerMajor = 0;
    int VerMinor = 0;
    QString ProductName;
};

// ---------------------------------------------------------------------------
class TMMCustomAudioDevice : public QObject {
    Q_OBJECT
    Q_PROPERTY(int DeviceCount READ DeviceCount)
    Q_PROPERTY(bool Mapper READ Mapper)
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(int DeviceId READ DeviceId WRITE SetDeviceId)
public:
    explicit TMMCustomAudioDevice(QObject* parent = nullptr) : QObject(parent) {}

    virtual platform::mixer::DeviceKind Kind() const = 0;
    virtual int DeviceCount() const = 0;
    virtual bool Mapper() const { return false; }
    const TMMDeviceCaps& DeviceCaps() const { return caps_; }

    bool Active() const { return active_; }
    // While loading, only remembered; Loaded() applies it.
    void SetActive(bool active);
    int DeviceId() const { return device_id_; }
    // -2, -1, 0 or below DeviceCount, else EMMDeviceError "Device id is out of range".
    void SetDeviceId(int id);
    bool Valid() const { return !gone_ && DeviceCount() >= 1 && device_id_ != -2; }
    // The device went away while open (a card unplugged): not valid, as when
    // there is none, until another device id or system is chosen.
    bool Gone() const { return gone_; }

    void BeginLoading() { loading_ = true; }
    virtual void Loaded();
    bool Loading() const { return loading_; }

    TMMObservable& DeviceObservable() { return device_observable_; }
    std::function<void(QObject* sender)> OnChange;

protected:
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual TMMDeviceCaps ReadCaps() = 0;
    // Sets the id without the range check (a mixer following another device).
    void ApplyDeviceId(int id);
    void Changed();

    bool active_ = false;
    bool gone_ = false;
    bool pending_active_ = false;
    bool loading_ = false;
    int device_id_ = 0;
    TMMDeviceCaps caps_;
    TMMObservable device_observable_;
};

// ---------------------------------------------------------------------------
class TMMMixerDevice : public TMMCustomAudioDevice {
    Q_OBJECT
    Q_PROPERTY(int Destinations READ Destinations)
public:
    explicit TMMMixerDevice(QObject* parent = nullptr);
    ~TMMMixerDevice() override;

    // The mixer backend; by default the process's (PELU_MIXER).
    void SetMixerSystem(std::shared_ptr<platform::mixer::MixerSystem> system);
    platform::mixer::MixerSystem& System() const { return *system_; }

    platform::mixer::DeviceKind Kind() const override { return platform::mixer::DeviceKind::Undefined; }
    int DeviceCount() const override;
    int Destinations() const;
    // The platform's device number for queries (the mapper -1 means the first mixer).
    std::uint32_t PlatformId() const { return device_id_ < 0 ? 0u : std::uint32_t(device_id_); }

    TMMCustomAudioDevice* Device() const { return device_; }
    // Another audio device whose mixer is meant ("Mixer can't reference mixer").
    void SetDevice(TMMCustomAudioDevice* device);

    TMMObservable& MixerObservable() { return mixer_observable_; }
    std::function<void(QObject* sender, int LineId)> OnLineChange;
    std::function<void(QObject* sender, int LineId, int CtlId)> OnControlChange;

    // Runs a platform call, turning its failure into EMMMCIError.
    template <typename Fn>
    auto Call(Fn&& fn) const -> decltype(fn())
    {
        try {
            return fn();
        } catch (const platform::mixer::MixerError& error) {
            ThrowMci(error);
        }
    }

protected:
    void Open() override;
    void Close() override;
    TMMDeviceCaps ReadCaps() override;

private:
    [[noreturn]] static void ThrowMci(const platform::mixer::MixerError& error);
    void HandleNotice(const platform::mixer::Notice& notice);
    void FollowDevice();

    std::shared_ptr<platform::mixer::MixerSystem> system_;
    std::unique_ptr<platform::mixer::MixerHandle> handle_;
    QPointer<TMMCustomAudioDevice> device_;
    TMMObserver device_link_;
    TMMObservable mixer_observable_;
};

// ---------------------------------------------------------------------------
struct TMMLineInfo {
    enum Flag { cfActive = 0x1, cfDisconnected = 0x2, cfSource = 0x4 };
    int Flags = 0;
    int Channels = 0;
    int Connections = 0;
    int Controls = 0;
    QString ShortName; // up to 16 characters
    QString Name;      // up to 64 characters
};

class TMMAudioLine : public QObject {
    Q_OBJECT
    Q_PROPERTY(int LineId READ LineId WRITE SetLineId)
    Q_PROPERTY(TMMComponentType ComponentType READ ComponentType WRITE SetComponentType)
public:
    enum TMMComponentType {
        ctDstDigital, ctDstHeadphones, ctDstLine, ctDstMonitor, ctDstSpeakers, ctDstTelephone,
        ctDstUndefined, ctDstVoiceIn, ctDstWaveIn, ctSrcAnalog, ctSrcAuxiliary, ctSrcCompactDisc,
        ctSrcDigital, ctSrcLine, ctSrcMicrophone, ctSrcPCSpeaker, ctSrcSynthesizer, ctSrcTelephone,
        ctSrcUndefined, ctSrcWaveOut,
    };
    Q_ENUM(TMMComponentType)
    enum SpecifiedBy { sbLineId, sbComponentType, sbTarget };

    explicit TMMAudioLine(QObject* parent = nullptr);
    ~TMMAudioLine() override;

    TMMMixerDevice* Mixer() const { return mixer_; }
    void SetMixer(TMMMixerDevice* mixer);
    int LineId() const { return line_id_; }
    void SetLineId(int id);
    TMMComponentType ComponentType() const { return component_type_; }
    void SetComponentType(TMMComponentType type);
    const platform::mixer::LineTarget& Target() const { return target_; }
    void SetTarget(const platform::mixer::LineTarget& target);
    TMMAudioLine* DestLine() const { return dest_line_; }
    void SetDestLine(TMMAudioLine* line);
    const TMMLineInfo& LineInfo() const { return info_; }
    SpecifiedBy SpecifiedByWhat() const { return specified_by_; }
    // The destination index, -1 for a source line or a line not found.
    int DestinationIndex() const { return dest_index_; }
    // A valid mixer and a line id other than -1.
    bool Valid() const;

    void BeginLoading() { loading_ = true; }
    void Loaded();

    static std::uint32_t PlatformComponentType(TMMComponentType type);
    // EMMMixerServiceError "Undefined API component type" for a type with no value.
    static TMMComponentType ComponentTypeFromPlatform(std::uint32_t type);

    TMMObservable& Observable() { return observable_; }
    std::function<void(QObject* sender)> OnChange;
    std::function<void(QObject* sender, int LineId, int CtlId)> OnControlChange;

private:
    void FindLine();
    std::optional<platform::mixer::LineInfo> SearchUnderDestination();
    void TakeLine(const platform::mixer::LineInfo& line);
    void ClearLine();
    void MixerNotice(void* data);
    void HookMixer();

    QPointer<TMMMixerDevice> mixer_;
    QPointer<TMMAudioLine> dest_line_;
    int line_id_ = -1;
    TMMComponentType component_type_ = ctDstSpeakers;
    platform::mixer::LineTarget target_;
    SpecifiedBy specified_by_ = sbLineId;
    TMMLineInfo info_;
    int dest_index_ = -1;
    bool loading_ = false;
    TMMObserver device_observer_;
    TMMObserver mixer_observer_;
    TMMObservable observable_;
    QMetaObject::Connection mixer_destroyed_, dest_destroyed_;
};

// ---------------------------------------------------------------------------
struct TMMControlInfo {
    enum Flag { cfDisabled = 0x1, cfMultiple = 0x2, cfUniform = 0x4 };
    int Flags = 0;
    int MultipleItems = 0;
    QString ShortName;
    QString Name;
    std::uint32_t MinValue = 0;
    std::uint32_t MaxValue = 0;
    std::uint32_t Steps = 0;
};

class TMMMixerControl : public QObject {
    Q_OBJECT
    Q_PROPERTY(int ControlId READ ControlId WRITE SetControlId)
    Q_PROPERTY(TMMControlType ControlType READ ControlType WRITE SetControlType)
    Q_PROPERTY(TMMControlClass ControlClass READ ControlClass)
public:
    enum TMMControlType {
        ctCustom, ctBooleanMeter, ctSignedMeter, ctPeakMeter, ctUnsignedMeter, ctBoolean, ctOnOff, ctMute,
        ctMono, ctLoudness, ctStereoEnh, ctButton, ctDecibels, ctSigned, ctUnsigned, ctPercent, ctSlider,
        ctPan, ctQSoundPan, ctFader, ctVolume, ctBass, ctTreble, ctEqualizer, ctSingleSelect, ctMux,
        ctMultipleSelect, ctMixer, ctMicroTime, ctMilliTime,
    };
    Q_ENUM(TMMControlType)
    enum TMMControlClass { ccCustom, ccFader, ccList, ccMeter, ccNumber, ccSlider, ccSwitch, ccTime };
    Q_ENUM(TMMControlClass)
    enum TMMChannel { chBoth, chLeft, chRight };
    Q_ENUM(TMMChannel)

    explicit TMMMixerControl(QObject* parent = nullptr);
    ~TMMMixerControl() override;

    TMMAudioLine* AudioLine() const { return line_; }
    void SetAudioLine(TMMAudioLine* line);
    int ControlId() const { return control_id_; }
    void SetControlId(int id);
    TMMControlType ControlType() const { return control_type_; }
    void SetControlType(TMMControlType type);
    TMMControlClass ControlClass() const { return control_class_; }
    const TMMControlInfo& ControlInfo() const { return info_; }
    bool SpecifiedById() const { return by_id_; }
    // A line that is valid and a control id other than -1.
    bool Valid() const;

    void BeginLoading() { loading_ = true; }
    void Loaded();

    // One value for a channel and item (-1 when the control has no items).
    std::uint32_t GetValue(TMMChannel channel, int item) const;
    void SetValue(TMMChannel channel, int item, std::uint32_t value);

    static std::uint32_t PlatformControlType(TMMControlType type);
    static TMMControlType ControlTypeFromPlatform(std::uint32_t type);
    // EMMMixerServiceError "Undefined API control class" for an unknown class.
    static TMMControlClass ClassOf(TMMControlType type);

    TMMObservable& Observable() { return observable_; }
    std::function<void(QObject* sender)> OnChange;

private:
    void FindControl();
    void ClearControl();
    void LineNotice(void* data);
    void CheckOperable() const;
    std::uint32_t TransferChannels(TMMChannel channel) const;
    std::uint32_t Items() const;
    std::size_t ValueIndex(TMMChannel channel, int item, std::uint32_t channels) const;

    QPointer<TMMAudioLine> line_;
    int control_id_ = -1;
    TMMControlType control_type_ = ctVolume;
    TMMControlClass control_class_ = ccFader;
    bool by_id_ = false;
    TMMControlInfo info_;
    bool loading_ = false;
    TMMObserver line_observer_;
    TMMObservable observable_;
    QMetaObject::Connection line_destroyed_;
};

// An observer bound to one mixer control; busy while its owner updates itself
// from the control, so that update is not written back.
class TMMControlLink {
public:
    TMMControlLink() = default;
    TMMMixerControl* Control() const { return control_; }
    void SetControl(TMMMixerControl* control);
    bool Busy() const { return busy_ > 0; }
    void BeginBusy() { ++busy_; }
    void EndBusy() { --busy_; }
    std::function<void(const TMMMixerChange& change)> OnChange;

private:
    QPointer<TMMMixerControl> control_;
    TMMObserver observer_;
    int busy_ = 0;
};

// ---------------------------------------------------------------------------
// The slider's logic. The widget paints MinValue..MaxValue and Position, shows
// IsEnabled(), calls Track() while the user drags and TrackEnd() on release.
class TMMCustomMixerSlider : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Position READ Position WRITE SetPosition NOTIFY changed)
    Q_PROPERTY(int MinValue READ MinValue NOTIFY changed)
    Q_PROPERTY(int MaxValue READ MaxValue NOTIFY changed)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int Item READ Item WRITE SetItem)
    Q_PROPERTY(pelu::TMMMixerControl::TMMChannel Channel READ Channel WRITE SetChannel)
public:
    explicit TMMCustomMixerSlider(QObject* parent = nullptr);
    ~TMMCustomMixerSlider() override;

    TMMMixerControl* Control() const { return link_.Control(); }
    // EMMMixerControlsError "Invalid control class" for a control a slider cannot show.
    void SetControl(TMMMixerControl* control);
    TMMMixerControl::TMMChannel Channel() const { return channel_; }
    void SetChannel(TMMMixerControl::TMMChannel channel);
    int Item() const { return item_; }
    void SetItem(int item);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // Whether the slider can be moved: Enabled, a valid control, an acceptable
    // item, the control not disabled.
    bool IsEnabled() const { return effective_enabled_; }

    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    int Position() const { return position_; }
    // Clamped to the range; writes the volume when it changes.
    void SetPosition(int position);
    void Track(int position);
    void TrackEnd();

    std::function<void(QObject* sender)> OnChange, OnTrack, OnTrackEnd;

signals:
    void changed();

private:
    void UpdateFromControl(bool range_too);
    void ReadPosition();
    void ControlNotice(const TMMMixerChange& change);

    TMMControlLink link_;
    TMMMixerControl::TMMChannel channel_ = TMMMixerControl::chBoth;
    int item_ = -1;
    bool enabled_ = true;
    bool effective_enabled_ = false;
    long double step_ = 0;
    int min_ = 0, max_ = 2, position_ = 1;
    QMetaObject::Connection control_destroyed_;
};

} // namespace pelu
