#pragma once
#include <QString>

#include <string>

// What the media player interface reads from and asks of the window it
// serves; the main window implements it.
//
// Threads: UI thread only.
class MprisHost {
public:
    // "Playing", "Paused" or "Stopped".
    virtual const char* PlaybackStatus() = 0;
    // The full path (or peer and name) of what plays, and the name shown for
    // it; both empty before anything has played.
    virtual const std::string& MediaPath() const = 0;
    virtual const std::string& MediaName() const = 0;
    // Seconds into the medium (the sound being heard, with its fraction), and
    // its length in whole seconds; 0 when nothing is open.
    virtual double PositionSeconds() = 0;
    virtual int DurationSeconds() = 0;
    // The volume as a share of its range, 0..1; muted reads as 0.
    virtual double HeardVolume() const = 0;
    virtual void SetVolumeShare(double share) = 0;
    // Playback speed; setting clamps it to 0.25..4.0 and ignores a NaN.
    virtual double Rate() = 0;
    virtual void SetRate(double rate) = 0;
    virtual bool IsFullScreen() const = 0;
    virtual void SetFullScreen(bool on) = 0;

    virtual void SetPaused(bool paused) = 0;
    virtual void TogglePause() = 0;
    virtual void StopPlayback() = 0;
    // Clamped to the medium; relative seeks count from the position heard.
    virtual void SeekTo(double seconds) = 0;
    virtual void SeekBy(double seconds) = 0;
    // Through the list of media (the folder, or files dropped together).
    virtual bool CanGoNext() const = 0;
    virtual bool CanGoPrevious() const = 0;
    virtual bool GoNext() = 0;
    virtual bool GoPrevious() = 0;
    // False, with ReasonText saying why, when the file cannot be played.
    virtual bool OpenMedia(const std::string& path) = 0;
    virtual QString ReasonText() const = 0;
    // Brings the window to the front.
    virtual void RaiseWindow() = 0;
    virtual void Quit() = 0;

protected:
    ~MprisHost() = default;
};
