// The equalizer panel: sixteen band sliders set the gains of the equalizer's
// bands when released; "Save" keeps the settings in "eqdata.ini", "Default"
// loads the factory settings from "default.ini" and keeps them.
#include "player/band_form.h"

#include "audio/equalizer.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"

#include <cmath>

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
    for (int i = 0; i < controls_->bands.size() && i < bands; ++i)
        controls_->bands[i]->SetPosition(int(std::trunc(eq_->Filters()[i]->Gain())));
}

void TBandForm::KamButton5Click() { eq_->SaveToIniFile(StorageFile(QStringLiteral("eqdata.ini")), kSettingsName); }

void TBandForm::KamButton6Click()
{
    eq_->LoadFromIniFile(StorageFile(QStringLiteral("default.ini")), kSettingsName);
    SetSlidersFromEqualizer();
    eq_->SaveToIniFile(StorageFile(QStringLiteral("eqdata.ini")), kSettingsName);
}

} // namespace pelu::player
