// The mixer slider's logic (TMMCustomMixerSlider) and the link that carries a
// control's change notices to it (TMMControlLink).
#include "audio/mixer.h"

#include <algorithm>
#include <cmath>

namespace pelu {

namespace {

long long round_half_even(long double v)
{
    return std::llrint(v); // the default rounding mode: ties to even, as the original
}

} // namespace

// ---------------------------------------------------------------------------
// TMMControlLink

void TMMControlLink::SetControl(TMMMixerControl* control)
{
    if (control_)
        control_->Observable().RemoveObserver(&observer_);
    control_ = control;
    observer_.OnChange = [this](TMMObserver*, void* data) {
        if (data && OnChange)
            OnChange(*static_cast<TMMMixerChange*>(data));
    };
    if (control)
        control->Observable().AddObserver(&observer_);
}

// ---------------------------------------------------------------------------
// TMMCustomMixerSlider

TMMCustomMixerSlider::TMMCustomMixerSlider(QObject* parent) : QObject(parent)
{
    link_.OnChange = [this](const TMMMixerChange& change) { ControlNotice(change); };
}

TMMCustomMixerSlider::~TMMCustomMixerSlider()
{
    link_.SetControl(nullptr);
}

void TMMCustomMixerSlider::SetControl(TMMMixerControl* control)
{
    if (control == link_.Control())
        return;
    if (control) {
        switch (control->ControlClass()) {
        case TMMMixerControl::ccFader:
        case TMMMixerControl::ccSlider:
        case TMMMixerControl::ccNumber:
            break;
        default:
            throw EMMMixerControlsError("Invalid control class");
        }
    }
    disconnect(control_destroyed_);
    link_.SetControl(control);
    if (control)
        control_destroyed_ = connect(control, &QObject::destroyed, this, [this] {
            link_.SetControl(nullptr);
            UpdateFromControl(true);
        });
    UpdateFromControl(true);
}

void TMMCustomMixerSlider::SetChannel(TMMMixerControl::TMMChannel channel)
{
    if (channel == channel_)
        return;
    channel_ = channel;
    UpdateFromControl(false);
}

void TMMCustomMixerSlider::SetItem(int item)
{
    if (item == item_)
        return;
    item_ = item;
    UpdateFromControl(true);
}

void TMMCustomMixerSlider::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    UpdateFromControl(true);
}

void TMMCustomMixerSlider::ControlNotice(const TMMMixerChange& change)
{
    if (change.kind == TMMMixerChange::mcControlChange)
        UpdateFromControl(false);
    else if (change.kind == TMMMixerChange::mcControlIdChange)
        UpdateFromControl(true);
}

void TMMCustomMixerSlider::UpdateFromControl(bool range_too)
{
    TMMMixerControl* control = link_.Control();
    bool item_ok = false;
    if (control) {
        const auto& info = control->ControlInfo();
        item_ok = (info.Flags & TMMControlInfo::cfMultiple) ? (item_ >= 0 && item_ < info.MultipleItems)
                                                             : item_ == -1;
    }
    const bool usable = enabled_ && control && control->Valid() && item_ok &&
                        !(control->ControlInfo().Flags & TMMControlInfo::cfDisabled);
    // Updates made here come from the control: they are never written back.
    link_.BeginBusy();
    const int old_min = min_, old_max = max_, old_position = position_;
    if (!usable) {
        effective_enabled_ = false;
        step_ = 0;
        min_ = 0;
        max_ = 2;
        position_ = 1;
    } else {
        effective_enabled_ = true;
        if (range_too || step_ == 0) {
            const auto& info = control->ControlInfo();
            const long double span = (long double)info.MaxValue - (long double)info.MinValue;
            step_ = span / (info.Steps == 0 ? 32.0L : (long double)info.Steps);
            min_ = 0;
            max_ = step_ == 0 ? 1 : int(round_half_even(span / step_));
        }
        try {
            ReadPosition();
        } catch (...) {
            link_.EndBusy();
            throw;
        }
    }
    link_.EndBusy();
    if (old_min != min_ || old_max != max_ || old_position != position_)
        emit changed();
}

void TMMCustomMixerSlider::ReadPosition()
{
    TMMMixerControl* control = link_.Control();
    const std::uint32_t value = control->GetValue(channel_, item_);
    const long double offset = (long double)value - (long double)control->ControlInfo().MinValue;
    position_ = step_ == 0 ? 0 : std::clamp(int(round_half_even(offset / step_)), min_, max_);
}

void TMMCustomMixerSlider::SetPosition(int position)
{
    position = std::clamp(position, min_, max_);
    if (position == position_)
        return;
    position_ = position;
    TMMMixerControl* control = link_.Control();
    if (effective_enabled_ && control && !link_.Busy()) {
        if (control->ControlInfo().Flags & TMMControlInfo::cfDisabled) {
            link_.BeginBusy();
            ReadPosition();
            link_.EndBusy();
        } else {
            const long double value = (long double)position_ * step_ + (long double)control->ControlInfo().MinValue;
            control->SetValue(channel_, item_, std::uint32_t(std::max(0LL, round_half_even(value))));
        }
    }
    emit changed();
    if (OnChange)
        OnChange(this);
}

void TMMCustomMixerSlider::Track(int position)
{
    SetPosition(position);
    if (OnTrack)
        OnTrack(this);
}

void TMMCustomMixerSlider::TrackEnd()
{
    if (OnTrackEnd)
        OnTrackEnd(this);
}

} // namespace pelu
