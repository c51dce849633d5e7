// TSliderTracker: the range, position and press/drag/release/key tracking that
// the seek slider (TMMSlider) and the picture slider (TMMBitmapSlider) share.
// TSliderControl, their common base, owns one together with the range, step
// sizes and events both publish and the key and release handling; each slider
// keeps what is its own: the thumb's geometry, where a click jumps to, the
// cursor and the painting. The tracker keeps the position
// inside MinValue..MaxValue, reports every tracked move (OnTrack) and ends each
// press, key or wheel step with exactly one OnTrackEnd.
//
// Thread: main thread only (the owning slider's).
#pragma once

#include <QObject>
#include <QWidget>

#include <functional>
#include <optional>

namespace pelu::widgets {

class TSliderTracker {
public:
    using Notify = std::function<void(QObject* sender)>;
    // How a drag's pixel distance becomes a value: the seek slider rounds half
    // away from zero (as MulDiv does), the picture slider half to even.
    enum class TDragRounding { HalfAwayFromZero, HalfToEven };

    // `set_position` is the owner's SetPosition (clamps, repaints, OnChange);
    // `on_track`/`on_track_end` are the owner's events, read when they fire.
    TSliderTracker(QObject* sender, std::function<void(int)> set_position, const Notify& on_track,
                   const Notify& on_track_end, TDragRounding rounding);

    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }
    int Clamp(int value) const;
    // Each returns false when the value was already set. The position follows
    // a narrowed range through the owner's SetPosition.
    bool SetMin(int value);
    bool SetMax(int value);
    // The owner's SetPosition stores the clamped value here.
    void Store(int value) { position_ = value; }

    bool Dragging() const { return dragging_; }
    // A left press at `along` pixels on the track: a press on the thumb starts
    // a drag; elsewhere the owner has jumped already. Either way tracking starts.
    void Press(bool on_thumb, int along);
    // A mouse move while dragging, `usable` pixels of travel: the new value.
    void DragTo(int along, int usable);
    // A key's value: arrows step LineSize, pages PageSize, Home/End go to the
    // ends (Home is the minimum when `home_is_min`). None for other keys.
    std::optional<int> KeyValue(int key, int line_size, int page_size, bool home_is_min) const;
    // A move by drag, key or wheel: OnTrack when the position changed.
    void TrackTo(int value);
    // The left button's release ends the drag and the tracking.
    void Release();
    // A key's real release (not an auto-repeat) ends its tracking, not a drag's.
    void KeyRelease();
    // Ends the tracking now (a wheel step is its own press and release).
    void EndTracking();

private:

    QObject* sender_;
    std::function<void(int)> set_position_;
    const Notify& on_track_;
    const Notify& on_track_end_;
    TDragRounding rounding_;

    int min_ = 0, max_ = 10, position_ = 0;
    bool dragging_ = false;
    bool tracked_ = false;
    int press_along_ = 0;
    int press_position_ = 0;
};

class TSliderControl : public QWidget {
    Q_OBJECT
public:
    using Notify = TSliderTracker::Notify;

    int MinValue() const { return tracker_.Min(); }
    void SetMinValue(int value);
    int MaxValue() const { return tracker_.Max(); }
    void SetMaxValue(int value);
    int Position() const { return tracker_.Position(); }
    // Clamps, stores (tracker_.Store), repaints and fires OnChange on a change.
    virtual void SetPosition(int value) = 0;
    int LineSize() const { return line_size_; }
    void SetLineSize(int value) { line_size_ = value; }
    int PageSize() const { return page_size_; }
    void SetPageSize(int value) { page_size_ = value; }
    // Stored only: nothing in the band uses the dB scale.
    bool Logarithmic() const { return logarithmic_; }
    void SetLogarithmic(bool value) { logarithmic_ = value; }
    int Sensitivity() const { return sensitivity_; }
    bool Dragging() const { return tracker_.Dragging(); }

    Notify OnChange;
    Notify OnTrack;
    Notify OnTrackEnd;

protected:
    // A 200 x 40 focusable control that follows the mouse, named for screen readers.
    TSliderControl(QWidget* parent, TSliderTracker::TDragRounding rounding, const QString& accessible_name);

    // Whether the track runs left to right (Home goes to the minimum).
    virtual bool Horizontal() const = 0;

    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

    int line_size_ = 1, page_size_ = 5;
    bool logarithmic_ = false;
    int sensitivity_ = -24;
    TSliderTracker tracker_; // after the events it reads
};

} // namespace pelu::widgets
