#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// One picture as the engine hands it to a display: the decoded picture
// itself, not pixels. The display has it drawn where and as large as it shows
// it, in its own pixel format, so each picture is converted once, straight
// from the decoder's planes to the screen's pixels at the size shown.
//
// Threads: immutable once handed over; Paint may run on any thread, on
// several at once.
class Picture {
public:
    virtual ~Picture() = default;
    // The shape it shows in (aspect ratio and turn applied), in pixels.
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Draws it scaled smoothly to width x height into 4-byte pixels (blue,
    // green, red, 0xFF in memory: Qt's RGB32 on this machine) at bits, rows
    // stride bytes apart, with whatever belongs inside it (subtitles). False
    // when it could not (a size below 1, out of memory).
    virtual bool Paint(uint8_t* bits, ptrdiff_t stride, int width, int height) const = 0;
};

// The display a picture goes to. The desktop window's video control and the
// headless player's frame counter implement it.
class VideoWindow {
public:
    virtual ~VideoWindow() = default;
    // Presentation thread: the next picture, to be shown now. The display may
    // keep it (to draw it again at another size, or for a screenshot).
    virtual void ShowFrame(std::shared_ptr<const Picture> picture) = 0;
};

// Any thread: makes window the display ShowPicture hands pictures to (null
// for none). When it returns, no call into the display it replaced is running
// or will start, so that one may be destroyed.
void SetVideoWindow(VideoWindow* window);
// Any thread: as SetVideoWindow(nullptr) when window is the display set,
// else nothing. For a display's destructor.
void ReleaseVideoWindow(VideoWindow* window);
