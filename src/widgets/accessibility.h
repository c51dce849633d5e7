// What assistive technology sees of the band's own controls: the picture
// buttons and clickable icons are buttons with a press action, the two kinds
// of slider are sliders with a value and a range, the time display and the
// status line are labels whose name is the text they show. Standard Qt widgets
// (the text buttons, lists, the search field) describe themselves.
//
// Thread: main thread only; installing twice is harmless.
#pragma once

namespace pelu::widgets {

void InstallAccessibility();

} // namespace pelu::widgets
