// TDotMatrixText: the band's time indicator, a row of 5 x 7 dot characters
// (12 for the player) on a black background. Unlit dots show faintly, like a
// real dot-matrix display. Characters without a glyph show as blanks. On a
// scaled screen it shows its unscaled picture enlarged without smoothing, so
// the digits keep their shape at 2x.
// A left press fires OnMouseDown (the form toggles elapsed/remaining time);
// Space with the keyboard focus does the same.
//
// Thread: main thread only.
#pragma once

#include <QColor>
#include <QWidget>

#include <functional>

namespace pelu::widgets {

class TDotMatrixText : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int Characters READ Characters WRITE SetCharacters)
    Q_PROPERTY(QColor LitColor READ LitColor WRITE SetLitColor)
    Q_PROPERTY(QColor UnlitColor READ UnlitColor WRITE SetUnlitColor)
    Q_PROPERTY(QColor BackgroundColor READ BackgroundColor WRITE SetBackgroundColor)
public:
    using MouseNotify = std::function<void(QObject* sender, Qt::MouseButton button, QPoint pos)>;
    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;

    explicit TDotMatrixText(QWidget* parent = nullptr);

    QString Text() const { return text_; }
    void SetText(const QString& text);
    int Characters() const { return characters_; }
    void SetCharacters(int count);
    QColor LitColor() const { return lit_; }
    void SetLitColor(const QColor& color);
    QColor UnlitColor() const { return unlit_; }
    void SetUnlitColor(const QColor& color);
    QColor BackgroundColor() const { return background_; }
    void SetBackgroundColor(const QColor& color);

    // The dot pattern of a character: 7 rows, bit 4 the leftmost dot. A
    // character without a glyph gives all zeros.
    static const unsigned char* Glyph(QChar c);
    // Whether dot (column, row) of character cell `cell` is lit for the text.
    bool DotLit(int cell, int column, int row) const;

    MouseNotify OnMouseDown;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString CellText() const; // the text right-aligned in the cells

    QString text_;
    int characters_ = 12;
    QColor lit_{0x6f, 0xe6, 0xff};
    QColor unlit_{0x12, 0x22, 0x28};
    QColor background_{0, 0, 0};
};

} // namespace pelu::widgets
