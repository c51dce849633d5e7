// libPELU.so serves the player form.
#include "browser/server.h"
#include "player/band_form.h"

namespace pelu::browser {

BandFormKind band_form_kind()
{
    using player::TBandForm;
    BandFormKind kind;
    kind.create = [](QWidget* parent) -> QWidget* { return new TBandForm(parent); };
    kind.set_ie_link = [](QWidget* form, com::IWebBrowser2* browser) {
        static_cast<TBandForm*>(form)->SetIELink(browser);
    };
    kind.band_closing = [](QWidget* form) { static_cast<TBandForm*>(form)->BandClosing(); };
    kind.edit2 = [](QWidget* form) { return static_cast<TBandForm*>(form)->Edit2(); };
    return kind;
}

} // namespace pelu::browser
