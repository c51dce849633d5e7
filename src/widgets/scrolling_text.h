// TALScrollingText: the band's status line. A one-line text scrolls through a
// small window whose two ends fade it into the background. The text is a hole
// cut into a background-coloured strip that slides over a fixed layer holding
// the text colour with colour ramps at both edges, so a scrolling step only
// copies one picture and draws one transparent picture.
//
// The scrolling timer runs only while the line can be seen moving: shown,
// enabled and with a text to move. A hidden line stands still and goes on from
// where it stood when it is shown again; a disabled line would paint the same
// picture at every step, so it does not step at all. Each step repaints only
// the columns the text covers before and after it, and nothing when the text
// is out of the window; between the ramps, where the edge layer is one colour,
// it scrolls the pixels already shown and draws only the incoming column.
// The steps come in the frames of the band's frame clock (widgets/frame_clock.h),
// so a step is painted together with the other displays' updates of its moment.
//
// Thread: main thread only; the scrolling timer is a main-thread frame timer.
#pragma once

#include "platform/error.h"
#include "widgets/frame_clock.h"

#include <QColor>
#include <QImage>
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
    bool IsScrolling() const { return timer_.isActive(); }
    int StripX() const { return x_; }
    int StripWidth() const { return strip_width_; }
    QColor TransparentColor() const { return transparent_; }
    const QImage& EdgeLayer() const { return edge_layer_; }
    int RebuildCount() const { return rebuild_count_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Rebuild();
    void ResetX(int strip_width);
    // Starts or stops the timer as the line can or cannot be seen moving.
    void UpdateTimer();
    // The widget's columns the text's holes cover with the strip at x.
    QRect TextArea(int x) const;

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
    int text_width_ = 0;
    int x_ = 0;
    int rebuild_count_ = 0;
    qreal built_dpr_ = 1.0;
    TFrameTimer timer_;
};

} // namespace pelu::widgets
