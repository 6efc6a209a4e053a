#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include <mutex>

namespace {

// The display and the lock that keeps it alive while a picture is handed to
// it: held by ShowPicture across the call and by whoever swaps the display.
struct Display {
    std::mutex mutex;
    VideoWindow* window = nullptr;
};

Display& TheDisplay() {
    static Display display;
    return display;
}

} // namespace

void SetVideoWindow(VideoWindow* window) {
    Display& display = TheDisplay();
    std::lock_guard<std::mutex> lock(display.mutex);
    display.window = window;
}

void ReleaseVideoWindow(VideoWindow* window) {
    Display& display = TheDisplay();
    std::lock_guard<std::mutex> lock(display.mutex);
    if (display.window == window)
        display.window = nullptr;
}

void ShowPicture(std::shared_ptr<const Picture> picture) {
    if (!picture || picture->Width() <= 0 || picture->Height() <= 0)
        return;
    Display& display = TheDisplay();
    std::lock_guard<std::mutex> lock(display.mutex);
    if (VideoWindow* window = display.window)
        window->ShowFrame(std::move(picture));
}
