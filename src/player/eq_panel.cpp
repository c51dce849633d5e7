// The equalizer panel: sixteen band sliders set the gains of the equalizer's
// bands when released; "Save" keeps the settings in "eqdata.ini", "Default"
// loads the factory settings from "default.ini" and keeps them.
#include "player/band_form.h"

#include "audio/equalizer.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"
#include "widgets/scrolling_text.h"

#include <algorithm>
#include <cmath>
#include <exception>

namespace pelu::player {

using namespace pelu::widgets;

namespace {
const QString kSettingsName = QStringLiteral("BrindleX");
}

void TBandForm::BandTrackEnd(int band_number)
{
    const int index = band_number - 1;
    if (index < 0 || index >= controls_->bands.size())
        return;
    // An equalizer with fewer bands than sliders: a slider without a band changes nothing.
    if (index >= eq_->Filters().Count())
        return;
    eq_->Filters()[index]->SetGain(float(controls_->bands[index]->Position()));
}

void TBandForm::SetSlidersFromEqualizer()
{
    const int bands = eq_->Filters().Count();
    for (int i = 0; i < controls_->bands.size() && i < bands; ++i) {
        // Gains come from files and streams too: only a finite value in the
        // int range is converted (the slider clamps it to its own range).
        const float gain = eq_->Filters()[i]->Gain();
        const int position = std::isfinite(gain) ? int(std::trunc(std::clamp(gain, -1.0e6f, 1.0e6f))) : 0;
        controls_->bands[i]->SetPosition(position);
    }
}

void TBandForm::KamButton5Click()
{
    try {
        eq_->SaveToIniFile(StorageFile(QStringLiteral("eqdata.ini")), kSettingsName);
    } catch (const std::exception& error) {
        SayEqualizerFailure(QStringLiteral("Equalizer settings not saved: "), error);
        throw;
    }
}

void TBandForm::KamButton6Click()
{
    try {
        // A refused file leaves the present settings; nothing is saved then.
        eq_->LoadFromIniFile(StorageFile(QStringLiteral("default.ini")), kSettingsName);
    } catch (const std::exception& error) {
        SayEqualizerFailure(QStringLiteral("Default settings not loaded: "), error);
        throw;
    }
    SetSlidersFromEqualizer();
    KamButton5Click();
}

void TBandForm::SayEqualizerFailure(const QString& what, const std::exception& error)
{
    controls_->status->SetText(what + QString::fromUtf8(error.what()));
    controls_->status->setVisible(true);
}

} // namespace pelu::player
