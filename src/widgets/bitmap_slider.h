// TMMBitmapList and TMMBitmapSlider: the picture slider of the volume panel and
// of the equalizer's sixteen bands. The slider draws a background picture and a
// thumb picture from a shared bitmap list, maps between an integer Position and
// the thumb's place, and reports moves (OnTrack) and the release (OnTrackEnd):
// every left press and release pair ends in exactly one OnTrackEnd. Arrow and
// page keys step it too (OnTrack per changed step, OnTrackEnd on the key's
// release), so the panels can be used without a mouse.
//
// Thread: main thread only.
#pragma once

#include "widgets/picture.h"
#include "widgets/slider_tracker.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace pelu::widgets {

// The shared list of slider pictures (index as the sliders name them).
class TMMBitmapList : public QObject {
    Q_OBJECT
public:
    explicit TMMBitmapList(QObject* parent = nullptr) : QObject(parent) {}
    void SetBitmaps(QList<TPicture> pictures);
    int Count() const { return int(pictures_.size()); }
    TPicture Bitmap(int index) const;

signals:
    void Changed();

private:
    QList<TPicture> pictures_;
};

class TMMBitmapSlider : public TSliderControl {
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
    Q_PROPERTY(TMMOrientation Orientation READ Orientation WRITE SetOrientation)
    Q_PROPERTY(TMMZeroPosition ZeroPosition READ ZeroPosition WRITE SetZeroPosition)
    Q_PROPERTY(int Margin READ Margin WRITE SetMargin)
    Q_PROPERTY(int LineSize READ LineSize WRITE SetLineSize)
    Q_PROPERTY(int PageSize READ PageSize WRITE SetPageSize)
    Q_PROPERTY(bool Logarithmic READ Logarithmic WRITE SetLogarithmic)
    Q_PROPERTY(int Sensitivity READ Sensitivity WRITE SetSensitivity)
    Q_PROPERTY(int BitmapIndex READ BitmapIndex WRITE SetBitmapIndex)
    Q_PROPERTY(int BitmapBackIndex READ BitmapBackIndex WRITE SetBitmapBackIndex)
    Q_PROPERTY(int BitmapThumbIndex READ BitmapThumbIndex WRITE SetBitmapThumbIndex)
    Q_PROPERTY(int NumGlyphs READ NumGlyphs WRITE SetNumGlyphs)
    Q_PROPERTY(int NumThumbGlyphs READ NumThumbGlyphs WRITE SetNumThumbGlyphs)
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_PROPERTY(bool HandCursor READ HandCursor WRITE SetHandCursor)
    Q_PROPERTY(QColor TransparentColor READ TransparentColor WRITE SetTransparentColor)
public:
    enum TMMOrientation { orHorizontal, orVertical };
    Q_ENUM(TMMOrientation)
    enum TMMZeroPosition { zpBottomLeft, zpTopRight };
    Q_ENUM(TMMZeroPosition)
    enum TTransparentMode { tmAuto, tmFixed };
    Q_ENUM(TTransparentMode)

    explicit TMMBitmapSlider(QWidget* parent = nullptr);

    void SetPosition(int value) override;
    TMMOrientation Orientation() const { return orientation_; }
    void SetOrientation(TMMOrientation value);
    TMMZeroPosition ZeroPosition() const { return zero_; }
    void SetZeroPosition(TMMZeroPosition value);
    int Margin() const { return margin_; }
    void SetMargin(int value);
    void SetSensitivity(int value) { sensitivity_ = std::clamp(value, -96, -10); }

    TMMBitmapList* BitmapList() const { return list_; }
    void SetBitmapList(TMMBitmapList* list);
    int BitmapIndex() const { return bitmap_index_; }
    void SetBitmapIndex(int value);
    int BitmapBackIndex() const { return back_index_; }
    void SetBitmapBackIndex(int value);
    int BitmapThumbIndex() const { return thumb_index_; }
    void SetBitmapThumbIndex(int value);
    int NumGlyphs() const { return num_glyphs_; }
    void SetNumGlyphs(int value);
    int NumThumbGlyphs() const { return num_thumb_glyphs_; }
    void SetNumThumbGlyphs(int value);
    bool AutoSize() const { return auto_size_; }
    void SetAutoSize(bool value);
    bool HandCursor() const { return hand_cursor_; }
    void SetHandCursor(bool value) { hand_cursor_ = value; }
    QColor TransparentColor() const { return transparent_color_; }
    void SetTransparentColor(const QColor& color);
    TTransparentMode TransparentMode() const { return transparent_mode_; }
    void SetTransparentMode(TTransparentMode mode);

    // Geometry, for the gallery and tests.
    QSize ThumbSize() const;
    QRect ThumbRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // One wheel notch moves LineSize towards the maximum (away from the user
    // moves up) and ends the move at once, as a key press and release would.
    void wheelEvent(QWheelEvent* event) override;

private:
    bool Horizontal() const override { return orientation_ != orVertical; }
    void Reload();
    int Along(QPoint point) const; // coordinate along the track

    TMMOrientation orientation_ = orHorizontal;
    TMMZeroPosition zero_ = zpBottomLeft;
    int margin_ = 2;
    QPointer<TMMBitmapList> list_;
    int bitmap_index_ = -1, back_index_ = -1, thumb_index_ = -1;
    int num_glyphs_ = 1, num_thumb_glyphs_ = 1;
    bool auto_size_ = false;
    bool hand_cursor_ = false;
    QColor transparent_color_{0, 0, 0};
    TTransparentMode transparent_mode_ = tmAuto;

    TPicture background_; // one glyph
    TPicture thumb_;      // all thumb glyphs, keyed
    int wheel_units_ = 0; // wheel movement not yet a whole notch
};

} // namespace pelu::widgets
