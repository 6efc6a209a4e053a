#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include <limits>
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

void ShowPicture(const uint8_t* picture, int width, int height) {
    if (!picture || width <= 0 || height <= 0)
        return;
    // A picture whose bytes would not fit an int is none we can take.
    if (width > std::numeric_limits<int>::max() / 3 / height)
        return;
    Display& display = TheDisplay();
    std::lock_guard<std::mutex> lock(display.mutex);
    if (VideoWindow* window = display.window) {
        window->SetVideoSize(width, height);
        window->ShowFrame(picture);
    }
}
