#pragma once
// One decoded picture waiting for presentation: a reference to the decoder's
// picture, whose planes are counted and never written again, so holding it
// costs no copy and the decoder decodes into other buffers meanwhile.
//
// Threads: made by the video decode thread, handed over through the
// controller's frame queue under its mutex, then read by the presentation
// thread (or destroyed by the controller's flush); the picture handed to the
// display owns it from then on and only reads it.

#include <cstdint>
#include <memory>

extern "C" {
struct AVFrame;
}

struct AVFrameRelease {
    void operator()(AVFrame* frame) const;
};

struct VideoFrame {
    std::unique_ptr<AVFrame, AVFrameRelease> pPicture;  // read only
    int nWidth = 0;
    int nHeight = 0;
    int nPixFmt = -1;      // AVPixelFormat of the decoder
    double dPts = 0.0;     // presentation time stamp in stream units
    int nSkipped = 0;      // decode calls without a picture just before this one

    // Takes over the picture src refers to, leaving src blank. Returns null
    // (src untouched) for a frame without a picture or when out of memory.
    static std::unique_ptr<VideoFrame> TakeFrom(AVFrame* src, double pts, int skipped);
};
