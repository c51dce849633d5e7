// The band's colour scheme (a dark design) and the colour helpers the controls
// share. The "system colours" the controls' behaviour names (button face,
// shadow, highlight, caption colours, menu colour) are this scheme's colours.
//
// Thread: main thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

#include <cstdint>

namespace pelu::widgets {

namespace theme {
inline const QColor kButtonFace{0x24, 0x27, 0x2c};   // panels, button backgrounds
inline const QColor kWindow{0x1b, 0x1d, 0x21};       // the band itself, lists
inline const QColor kShadow{0x10, 0x11, 0x14};       // lower bevel edges
inline const QColor kHighlight{0x4a, 0x50, 0x59};    // upper bevel edges
inline const QColor kText{0xd8, 0xdc, 0xe2};
inline const QColor kDimText{0x8a, 0x90, 0x99};
inline const QColor kAccent{0x3f, 0xc1, 0xe8};       // focus, selection, active caption
inline const QColor kAccentDim{0x2a, 0x5d, 0x72};    // inactive caption
inline const QColor kMenu{0x2e, 0x32, 0x38};         // menu background and menu highlight
inline const QColor kMenuHighlight{0x3a, 0x60, 0x73};
inline const QColor kSelection{0x1f, 0x4e, 0x63};
} // namespace theme

// A colour given as the platform's 0x00BBGGRR value (red in the low byte).
inline QColor ColorFromBgr(std::uint32_t bgr)
{
    return QColor(int(bgr & 0xff), int((bgr >> 8) & 0xff), int((bgr >> 16) & 0xff));
}
inline std::uint32_t BgrFromColor(const QColor& color)
{
    return std::uint32_t(color.red()) | (std::uint32_t(color.green()) << 8) | (std::uint32_t(color.blue()) << 16);
}

// A font given the platform's way: a negative height is the character height in
// pixels.
QFont FontFromHeight(const QString& family, int height, bool bold = false, bool fixed_pitch = false);

// The dark palette for standard Qt views inside the panels (lists, trees).
QPalette DarkPalette();

// Windows' MulDiv: a × b ÷ c with the 64-bit product, rounded half away from
// zero; c = 0 gives -1 as the platform does.
int MulDiv(int a, int b, int c);

} // namespace pelu::widgets
