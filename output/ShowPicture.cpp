#include "output/OutputHooks.h"
#include "output/VideoWindow.h"

#include <cstring>
#include <limits>
#include <new>

std::atomic<VideoWindow*> g_pVideoWnd{nullptr};
uint8_t* g_pFrameBuf = nullptr;
int g_nFrameBufSize = 0;

void FreeFrameBuffer() {
    delete[] g_pFrameBuf;
    g_pFrameBuf = nullptr;
}

void ShowPicture(const uint8_t* picture, int width, int height) {
    if (!picture || width <= 0 || height <= 0)
        return;
    // A size whose buffer would not fit an int is no picture we can hold.
    if (width > (std::numeric_limits<int>::max() - 3) / 3 ||
        DibStride(width) > std::numeric_limits<int>::max() / height)
        return;
    const int stride = DibStride(width);
    const int size = stride * height;
    if (!g_pFrameBuf || g_nFrameBufSize != size) {
        delete[] g_pFrameBuf;
        g_pFrameBuf = new (std::nothrow) uint8_t[size];
        if (!g_pFrameBuf)
            return;
        g_nFrameBufSize = size;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int i = 0; i < height; ++i)
        std::memcpy(g_pFrameBuf + static_cast<size_t>(height - 1 - i) * stride,
                    picture + i * rowBytes, rowBytes);
    if (VideoWindow* window = g_pVideoWnd.load()) {
        window->SetVideoSize(width, height);
        window->ShowFrame(g_pFrameBuf);
    }
}
