#pragma once
// A decoded picture made of packed BGR24 pixels, top row first, as the
// presentation thread would hand it to a display.
#include "engine/FramePicture.h"

#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

inline std::shared_ptr<const FramePicture> BgrPicture(const uint8_t* bgr, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    frame->width = width, frame->height = height, frame->format = AV_PIX_FMT_BGR24;
    std::shared_ptr<const FramePicture> picture;
    if (av_frame_get_buffer(frame, 0) == 0) {
        for (int y = 0; y < height; ++y)
            std::copy_n(bgr + size_t(y) * width * 3, size_t(width) * 3, frame->data[0] + y * frame->linesize[0]);
        picture = std::make_shared<FramePicture>(VideoFrame::TakeFrom(frame, 0, 0), 0.0, 0, nullptr);
    }
    av_frame_free(&frame);
    return picture;
}
