// PELU Browser's own icon: a globe with a note, drawn by code at any size. The
// same drawing is data/icons/pelu-browser.svg; pelu-make-icons writes the PNG
// sizes of the hicolor theme from it.
//
// Thread: any thread (QImage painting only).
#pragma once

#include <QIcon>
#include <QImage>

#include <array>

namespace pelu::host {

inline constexpr char kIconName[] = "pelu-browser";
// The sizes installed in the hicolor theme.
inline constexpr std::array<int, 6> kIconSizes{16, 32, 48, 64, 128, 256};

// The icon as a square picture of `size_px` pixels.
QImage paint_app_icon(int size_px);
// The icon in every installed size.
QIcon app_icon();

} // namespace pelu::host
