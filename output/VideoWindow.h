#pragma once
#include <cstdint>

// The display a picture goes to. The desktop window's video control and the
// headless player's frame counter implement it; the display keeps whatever
// it needs of a picture itself.
class VideoWindow {
public:
    virtual ~VideoWindow() = default;
    // Presentation thread: the size of the picture that follows, before each one.
    virtual void SetVideoSize(int width, int height) = 0;
    // Presentation thread: one picture of the size last set, in ShowPicture's
    // layout (packed BGR24, top row first, 3 * width bytes a row). The bytes
    // are the caller's and live only for the call.
    virtual void ShowFrame(const uint8_t* bits) = 0;
};

// Any thread: makes window the display ShowPicture hands pictures to (null
// for none). When it returns, no call into the display it replaced is running
// or will start, so that one may be destroyed.
void SetVideoWindow(VideoWindow* window);
// Any thread: as SetVideoWindow(nullptr) when window is the display set,
// else nothing. For a display's destructor.
void ReleaseVideoWindow(VideoWindow* window);
