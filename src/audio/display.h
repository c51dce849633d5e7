// What the connector requires of every display it feeds (level meters, spectrum
// analysers, and the slots the player leaves empty).
//
// Thread: every call comes from the main thread (the connector's pump and its
// start/stop handling); a display never runs on the audio thread.
//
// A display that nobody sees (hidden, switched off) says so with WantsData and
// announces a change with WantsDataChanged: the connector then neither copies
// nor posts anything for it.
#pragma once

#include "audio/dsp_object.h"

#include <QObject>

namespace pelu {

class TMMDisplay : public QObject {
    Q_OBJECT
public:
    explicit TMMDisplay(QObject* parent = nullptr) : QObject(parent) {}

    // The format of the data that ProcessData will receive (null: none).
    virtual void SetPWaveFormat(const WaveFormat* format) = 0;
    // Bytes consumed per refresh.
    virtual int DataSize() const = 0;
    // One refresh: `data` points at DataSize() bytes of played sound.
    virtual void ProcessData(const char* data) = 0;
    // Clears the picture (silence, no peaks).
    virtual void ResetDisplay() = 0;
    // Whether ProcessData would do anything now.
    virtual bool WantsData() const { return visible_; }
    // Only a display that can be seen is fed (its view says when it is hidden).
    void SetVisible(bool visible)
    {
        if (visible == visible_)
            return;
        visible_ = visible;
        emit WantsDataChanged();
    }
    bool Visible() const { return visible_; }

signals:
    void WantsDataChanged();

protected:
    bool visible_ = true;
};

} // namespace pelu
