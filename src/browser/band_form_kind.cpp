// libPELU.so serves the player form.
#include "browser/server.h"
#include "browser/session_lock.h"
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
    // One player per user session: two would each save the resume list and the
    // settings over the other's, and play at once.
    static SessionLock session;
    kind.claim_session = [] { return session.Claim(); };
    kind.release_session = [] { session.Release(); };
    return kind;
}

} // namespace pelu::browser
