// TALScrollingText: the band's status line. A one-line text scrolls through a
// small window whose two ends fade it into the background. The text is a hole
// cut into a background-coloured strip that slides over a fixed layer holding
// the text colour with colour ramps at both edges, so a scrolling step only
// copies one picture and draws one transparent picture.
//
// Thread: main thread only; the scrolling timer is a main-thread QTimer that
// runs from creation to destruction.
#pragma once

#include "platform/error.h"

#include <QColor>
#include <QImage>
#include <QTimer>
#include <QWidget>

namespace pelu::widgets {

PELU_DECLARE_ERROR(EALScrollingTextError, pelu::Error)

class TALScrollingText : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int Speed READ Speed WRITE SetSpeed)
    Q_PROPERTY(int PixelJump READ PixelJump WRITE SetPixelJump)
    Q_PROPERTY(int EdgeFadeWidth READ EdgeFadeWidth WRITE SetEdgeFadeWidth)
    Q_PROPERTY(QColor BackgroundColor READ BackgroundColor WRITE SetBackgroundColor)
    Q_PROPERTY(QColor FontColor READ FontColor WRITE SetFontColor)
    Q_PROPERTY(TTextLayout Layout READ Layout WRITE SetLayout)
    Q_PROPERTY(TTextDirection TextDirection READ TextDirection WRITE SetTextDirection)
public:
    enum TTextLayout { tlTop, tlCenter, tlBottom };
    Q_ENUM(TTextLayout)
    enum TTextDirection { tdLeftToRight, tdRightToLeft };
    Q_ENUM(TTextDirection)

    explicit TALScrollingText(QWidget* parent = nullptr);

    QString Text() const { return text_; }
    void SetText(const QString& text);
    int Speed() const { return timer_.interval(); }
    void SetSpeed(int ms);
    int PixelJump() const { return pixel_jump_; }
    void SetPixelJump(int pixels) { pixel_jump_ = pixels; }
    int EdgeFadeWidth() const { return edge_fade_width_; }
    void SetEdgeFadeWidth(int pixels);
    QColor BackgroundColor() const { return background_; }
    void SetBackgroundColor(const QColor& color);
    QColor FontColor() const { return font_color_; }
    void SetFontColor(const QColor& color);
    TTextLayout Layout() const { return layout_; }
    void SetLayout(TTextLayout layout);
    TTextDirection TextDirection() const { return direction_; }
    void SetTextDirection(TTextDirection direction);

    // What the form runs once it has set the designed properties: rebuild, then
    // start the cycle at its beginning for the current direction.
    void Loaded();
    // One scrolling step (what the timer does every Speed ms).
    void Step();

    // The colour of ramp column `index` (1..EdgeFadeWidth); throws
    // EALScrollingTextError for an index outside that range.
    QColor RampColor(int index) const;

    // State, for the gallery and tests.
    int StripX() const { return x_; }
    int StripWidth() const { return strip_width_; }
    QColor TransparentColor() const { return transparent_; }
    const QImage& EdgeLayer() const { return edge_layer_; }
    int RebuildCount() const { return rebuild_count_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Rebuild();
    void ResetX(int strip_width);

    QString text_ = QStringLiteral("Text");
    int pixel_jump_ = 1;
    int edge_fade_width_ = 10;
    QColor background_{0, 0, 0};
    QColor font_color_{0xff, 0xff, 0xff};
    QColor transparent_;
    TTextLayout layout_ = tlCenter;
    TTextDirection direction_ = tdLeftToRight;

    QImage edge_layer_; // the widget's size: text colour with the ramps
    QImage strip_;      // text width + 2 widths: background with the text cut out
    int strip_width_ = 0;
    int x_ = 0;
    int rebuild_count_ = 0;
    qreal built_dpr_ = 1.0;
    QTimer timer_;
};

} // namespace pelu::widgets
