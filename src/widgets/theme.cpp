#include "widgets/theme.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace pelu::widgets {

namespace {
// The band names the fonts it was designed with; where they are not installed,
// narrow sans fonts keep the captions inside their buttons.
void InstallSubstitutes()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const QStringList narrow = {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                                QStringLiteral("Arial Narrow"), QStringLiteral("DejaVu Sans")};
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), narrow);
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), narrow);
}
} // namespace

QFont FontFromHeight(const QString& family, int height, bool bold, bool fixed_pitch)
{
    InstallSubstitutes();
    QFont font(family);
    // A negative height is the character height; a positive one includes the
    // internal leading, which is about a fifth of it for the fonts in use.
    const int pixels = height < 0 ? -height : std::max(1, height * 4 / 5);
    font.setPixelSize(std::max(1, pixels));
    font.setBold(bold);
    font.setFixedPitch(fixed_pitch);
    if (fixed_pitch)
        font.setStyleHint(QFont::TypeWriter);
    return font;
}

QPalette DarkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, theme::kButtonFace);
    palette.setColor(QPalette::WindowText, theme::kText);
    palette.setColor(QPalette::Base, theme::kWindow);
    palette.setColor(QPalette::AlternateBase, theme::kButtonFace);
    palette.setColor(QPalette::Text, theme::kText);
    palette.setColor(QPalette::Button, theme::kButtonFace);
    palette.setColor(QPalette::ButtonText, theme::kText);
    palette.setColor(QPalette::Highlight, theme::kSelection);
    palette.setColor(QPalette::HighlightedText, QColor(0xff, 0xff, 0xff));
    palette.setColor(QPalette::Light, theme::kHighlight);
    palette.setColor(QPalette::Midlight, theme::kHighlight);
    palette.setColor(QPalette::Mid, theme::kShadow);
    palette.setColor(QPalette::Dark, theme::kShadow);
    palette.setColor(QPalette::Shadow, QColor(0, 0, 0));
    palette.setColor(QPalette::ToolTipBase, theme::kMenu);
    palette.setColor(QPalette::ToolTipText, theme::kText);
    palette.setColor(QPalette::PlaceholderText, theme::kDimText);
    palette.setColor(QPalette::Disabled, QPalette::Text, theme::kDimText);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, theme::kDimText);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, theme::kDimText);
    return palette;
}

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const long long product = static_cast<long long>(a) * b;
    const long long magnitude = (std::llabs(product) + std::llabs(static_cast<long long>(c)) / 2)
                                / std::llabs(static_cast<long long>(c));
    const bool negative = (product < 0) != (c < 0);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

} // namespace pelu::widgets
