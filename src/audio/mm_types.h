// Enumerations shared by the equalizer, the FFT and the analysers. Ordinals are the
// stored values (presets, streams, settings), so they never change.
//
// Thread: plain values, any thread.
#pragma once

#include <QObject>

namespace pelu {
namespace mmtypes {
Q_NAMESPACE

enum TMMFFTWindow { fwRectangular = 0, fwHamming, fwHanning, fwBlackman, fwGaussian, fwWelch, fwParzen };
Q_ENUM_NS(TMMFFTWindow)

enum TMMChannel { chBoth = 0, chLeft, chRight };
Q_ENUM_NS(TMMChannel)

enum TMMDecayMode { dmNone = 0, dmStepUp, dmExponential, dmUniform };
Q_ENUM_NS(TMMDecayMode)

enum TMMBits { b8Bit = 0, b16Bit };
Q_ENUM_NS(TMMBits)

enum TMMMode { mMono = 0, mStereo };
Q_ENUM_NS(TMMMode)

enum TMMLevelKind { lkHorizontal = 0, lkVertical };
Q_ENUM_NS(TMMLevelKind)

enum TMMLevelDirection { dirNormal = 0, dirReversed };
Q_ENUM_NS(TMMLevelDirection)

enum TMMSpectrumKind { skDots = 0, skLines, skVLines, skBars, skPeaks, skScroll };
Q_ENUM_NS(TMMSpectrumKind)

enum TMMSpectrumGain { sgNone = 0, sg3db, sg6db, sg9db, sg12db };
Q_ENUM_NS(TMMSpectrumGain)

} // namespace mmtypes

using mmtypes::TMMBits;
using mmtypes::TMMChannel;
using mmtypes::TMMDecayMode;
using mmtypes::TMMFFTWindow;
using mmtypes::TMMLevelDirection;
using mmtypes::TMMLevelKind;
using mmtypes::TMMMode;
using mmtypes::TMMSpectrumGain;
using mmtypes::TMMSpectrumKind;
using enum mmtypes::TMMBits;
using enum mmtypes::TMMChannel;
using enum mmtypes::TMMDecayMode;
using enum mmtypes::TMMFFTWindow;
using enum mmtypes::TMMLevelDirection;
using enum mmtypes::TMMLevelKind;
using enum mmtypes::TMMMode;
using enum mmtypes::TMMSpectrumGain;
using enum mmtypes::TMMSpectrumKind;

} // namespace pelu
