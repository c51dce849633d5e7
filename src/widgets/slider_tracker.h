// TSliderTracker: the range, position and press/drag/release/key tracking that
// the seek slider (TMMSlider) and the picture slider (TMMBitmapSlider) share.
// Each slider owns one and keeps what is its own: the thumb's geometry, where a
// click jumps to, the cursor and the painting. The tracker keeps the position
// inside MinValue..MaxValue, reports every tracked move (OnTrack) and ends each
// press, key or wheel step with exactly one OnTrackEnd.
//
// Thread: main thread only (the owning slider's).
#pragma once

#include <QObject>

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

} // namespace pelu::widgets
