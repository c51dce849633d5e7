#include "widgets/dot_matrix.h"

#include <QAccessible>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace pelu::widgets {

namespace {
struct GlyphEntry {
    char c;
    const char* rows[7];
};

// 5 x 7 glyphs, '#' lit.
const GlyphEntry kGlyphs[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {':', {".....", "..#..", "..#..", ".....", "..#..", "..#..", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {'/', {".....", "....#", "...#.", "..#..", ".#...", "#....", "....."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
};

struct GlyphTable {
    unsigned char bits[128][7] = {};
    GlyphTable()
    {
        for (const GlyphEntry& entry : kGlyphs)
            for (int row = 0; row < 7; ++row) {
                unsigned char value = 0;
                for (int column = 0; column < 5; ++column)
                    if (entry.rows[row][column] == '#')
                        value |= static_cast<unsigned char>(1u << (4 - column));
                bits[static_cast<unsigned char>(entry.c)][row] = value;
            }
    }
};
const GlyphTable& Table()
{
    static const GlyphTable table;
    return table;
}
} // namespace

TDotMatrixText::TDotMatrixText(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(QStringLiteral("Time"));
    resize(87, 7);
}

void TDotMatrixText::SetText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    // Its accessible name is the text it shows (widgets/accessibility.h).
    if (QAccessible::isActive()) {
        QAccessibleEvent changed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&changed);
    }
    update();
}

void TDotMatrixText::SetCharacters(int count)
{
    count = std::max(1, count);
    if (count != characters_) {
        characters_ = count;
        update();
    }
}

void TDotMatrixText::SetLitColor(const QColor& color)
{
    lit_ = color;
    update();
}

void TDotMatrixText::SetUnlitColor(const QColor& color)
{
    unlit_ = color;
    update();
}

void TDotMatrixText::SetBackgroundColor(const QColor& color)
{
    background_ = color;
    update();
}

const unsigned char* TDotMatrixText::Glyph(QChar c)
{
    const char16_t u = c.toUpper().unicode();
    return Table().bits[u < 128 ? u : ' '];
}

QString TDotMatrixText::CellText() const
{
    // Right-aligned, so the seconds stay in place as the hours appear; a text
    // longer than the display keeps its end.
    QString text = text_.right(characters_);
    return QString(characters_ - text.size(), QLatin1Char(' ')) + text;
}

bool TDotMatrixText::DotLit(int cell, int column, int row) const
{
    const QString cells = CellText();
    if (cell < 0 || cell >= cells.size() || column < 0 || column >= kGlyphWidth || row < 0 || row >= kGlyphHeight)
        return false;
    return Glyph(cells.at(cell))[row] & (1u << (4 - column));
}

void TDotMatrixText::paintEvent(QPaintEvent*)
{
    // The dots are drawn one logical pixel each into a picture of the
    // widget's logical size, which is then scaled to the screen without
    // smoothing: at any scale the display is the same picture, only larger
    // (dots drawn at the screen's own resolution thin out into specks).
    QImage picture(size(), QImage::Format_RGB32);
    picture.fill(background_);
    {
        QPainter dots(&picture);
        // A character cell is the 5 dots and a gap; the cells are centred.
        const double pitch_x = double(width()) / characters_;
        const double dot_w = std::min(pitch_x / (kGlyphWidth + 1), double(height()) / kGlyphHeight);
        const double dot_h = double(height()) / kGlyphHeight;
        const double cell_w = dot_w * (kGlyphWidth + 1);
        const double left = (width() - cell_w * characters_ + dot_w) / 2.0;
        const QString cells = CellText();
        // The display is all dots, so focus shows as tinted unlit dots, not a frame.
        const QColor unlit = hasFocus() ? QColor(0x1d, 0x4a, 0x5a) : unlit_;
        for (int cell = 0; cell < characters_; ++cell) {
            const unsigned char* glyph = Glyph(cells.at(cell));
            for (int row = 0; row < kGlyphHeight; ++row)
                for (int column = 0; column < kGlyphWidth; ++column) {
                    const bool lit = glyph[row] & (1u << (4 - column));
                    const QRectF dot(left + cell * cell_w + column * dot_w, row * dot_h, dot_w, dot_h);
                    dots.fillRect(dot, lit ? lit_ : unlit);
                }
        }
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(rect(), picture);
}

void TDotMatrixText::mousePressEvent(QMouseEvent* event)
{
    if (OnMouseDown)
        OnMouseDown(this, event->button(), event->position().toPoint());
}

void TDotMatrixText::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && !event->isAutoRepeat()) {
        if (OnMouseDown)
            OnMouseDown(this, Qt::LeftButton, QPoint(0, 0));
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace pelu::widgets
