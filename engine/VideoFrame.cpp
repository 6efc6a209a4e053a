#include "engine/VideoFrame.h"

extern "C" {
#include <libavutil/frame.h>
}

void AVFrameRelease::operator()(AVFrame* frame) const { av_frame_free(&frame); }

std::unique_ptr<VideoFrame> VideoFrame::TakeFrom(AVFrame* src, double pts, int skipped) {
    if (!src || src->width <= 0 || src->height <= 0 || src->format < 0 || !src->buf[0])
        return nullptr;
    std::unique_ptr<AVFrame, AVFrameRelease> picture(av_frame_alloc());
    if (!picture)
        return nullptr;
    auto frame = std::make_unique<VideoFrame>();
    frame->nWidth = src->width;
    frame->nHeight = src->height;
    frame->nPixFmt = src->format;
    frame->dPts = pts;
    frame->nSkipped = skipped;
    av_frame_move_ref(picture.get(), src);
    frame->pPicture = std::move(picture);
    return frame;
}
