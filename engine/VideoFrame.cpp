#include "engine/VideoFrame.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

VideoPicture::~VideoPicture() { av_freep(&data[0]); }

std::unique_ptr<VideoFrame> VideoFrame::CopyOf(const AVFrame* src, double pts, int skipped) {
    if (!src || src->width <= 0 || src->height <= 0 || src->format < 0)
        return nullptr;
    auto picture = std::make_unique<VideoPicture>();
    auto fmt = static_cast<AVPixelFormat>(src->format);
    if (av_image_alloc(picture->data, picture->linesize, src->width, src->height, fmt, 16) < 0)
        return nullptr;
    av_image_copy(picture->data, picture->linesize, const_cast<const uint8_t**>(src->data),
                  src->linesize, fmt, src->width, src->height);
    auto frame = std::make_unique<VideoFrame>();
    frame->pPicture = std::move(picture);
    frame->nWidth = src->width;
    frame->nHeight = src->height;
    frame->nPixFmt = src->format;
    frame->dPts = pts;
    frame->nSkipped = skipped;
    return frame;
}
