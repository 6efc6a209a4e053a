#pragma once
#include <atomic>
#include <cstdint>

// The display a picture goes to. The desktop window's video control and the
// headless player's frame counter implement it.
class VideoWindow { public: virtual ~VideoWindow() = default;
  virtual void SetVideoSize(int width, int height) = 0;   // presentation thread
  virtual void ShowFrame(const uint8_t* bits) = 0; };     // presentation thread; bits = bottom-up BGR24 DIB, stride (3*w+3)&~3

// Set by the window's owner (UI thread) once the display exists, cleared
// before it is destroyed; read by ShowPicture on the presentation thread.
extern std::atomic<VideoWindow*> g_pVideoWnd;

// The current picture as a bottom-up DIB, and its size in bytes. Written only
// by ShowPicture on the presentation thread; NULL until the first picture.
extern uint8_t* g_pFrameBuf;
extern int g_nFrameBufSize;

// UI thread, after the player's threads have been joined: frees g_pFrameBuf
// and sets it to NULL (g_nFrameBufSize keeps its value).
void FreeFrameBuffer();

// Row stride of a 24-bit DIB: 3 bytes per pixel rounded up to 4 bytes.
constexpr int DibStride(int width) { return (3 * width + 3) & ~3; }
