#pragma once
// One decoded picture waiting for presentation: a reference to the decoder's
// picture, whose planes are counted and never written again, so holding it
// costs no copy and the decoder decodes into other buffers meanwhile.
//
// Threads: made by the video decode thread, handed over through the
// controller's frame queue under its mutex, then read and destroyed by the
// presentation thread (or by the controller's flush). Never shared.

#include <cstdint>
#include <memory>

extern "C" {
struct AVFrame;
}

// Plane pointers and strides of one picture; owns the single block that
// av_image_alloc returns (data[0]).
struct VideoPicture {
    uint8_t* data[4] = {nullptr, nullptr, nullptr, nullptr};
    int linesize[4] = {0, 0, 0, 0};

    VideoPicture() = default;
    ~VideoPicture();
    VideoPicture(const VideoPicture&) = delete;
    VideoPicture& operator=(const VideoPicture&) = delete;
};

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
