#include "engine/FramePicture.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/Subtitles.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libswscale/swscale.h>
}

namespace {

// A sample aspect ratio beyond this stretch is a broken stream's; no side
// shown is longer than kMaxDisplaySide.
constexpr double kMaxAspectStretch = 4.0;
constexpr int kMaxDisplaySide = 16384;
// Pictures this wide or tall without a stated matrix are HD ones.
constexpr int kHdWidth = 1280;
constexpr int kHdHeight = 720;
// Smooth both ways at a fraction of bicubic's cost; shrinking widens the
// filter with the step, so every source pixel counts.
constexpr int kScaleFlags = SWS_BILINEAR;
// The display's pixels: blue, green, red, 0xFF in memory on this machine.
constexpr AVPixelFormat kDisplayFormat = AV_PIX_FMT_BGRA;

// The matrix the stream states; untagged HD is BT.709 and untagged SD
// BT.601, as players assume.
int ColourMatrix(const AVFrame& picture) {
    switch (picture.colorspace) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        return picture.width >= kHdWidth || picture.height >= kHdHeight ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool FullRange(const AVFrame& picture) {
    const auto fmt = static_cast<AVPixelFormat>(picture.format);
    return picture.color_range == AVCOL_RANGE_JPEG || fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P ||
           fmt == AV_PIX_FMT_YUVJ444P;
}

// The conversion a thread made last, kept for its next picture of the same
// shape: making one costs far more than running it. Turned pictures are
// converted upright into `upright` first.
struct Converter {
    struct Key {
        int srcW = 0, srcH = 0, srcFmt = -1, dstW = 0, dstH = 0, matrix = -1;
        bool fullRange = false;
        bool operator==(const Key&) const = default;
    };
    Key key;
    SwsContext* context = nullptr;
    std::vector<uint32_t> upright;

    ~Converter() { sws_freeContext(context); }

    SwsContext* For(const Key& want) {
        if (context && want == key)
            return context;
        context = sws_getCachedContext(context, want.srcW, want.srcH, static_cast<AVPixelFormat>(want.srcFmt), want.dstW,
                                       want.dstH, kDisplayFormat, kScaleFlags, nullptr, nullptr, nullptr);
        key = context ? want : Key{};
        if (context) {
            const int* coefficients = sws_getCoefficients(want.matrix);
            sws_setColorspaceDetails(context, coefficients, want.fullRange, coefficients, 1, 0, 1 << 16, 1 << 16);
        }
        return context;
    }
};

thread_local Converter t_converter;

// Turns an upright w x h picture clockwise by 90, 180 or 270 degrees into `to`.
void Turn(const uint32_t* from, int w, int h, int rotation, uint8_t* to, ptrdiff_t toStride) {
    for (int y = 0; y < h; ++y) {
        const uint32_t* src = from + size_t(y) * w;
        for (int x = 0; x < w; ++x) {
            int tx, ty;
            if (rotation == 90)
                tx = h - 1 - y, ty = x;
            else if (rotation == 180)
                tx = w - 1 - x, ty = h - 1 - y;
            else
                tx = y, ty = w - 1 - x;
            reinterpret_cast<uint32_t*>(to + ty * toStride)[tx] = src[x];
        }
    }
}

}  // namespace

FramePicture::FramePicture(std::unique_ptr<VideoFrame> frame, double stamp, int rotation,
                           std::shared_ptr<Subtitles> subtitles)
    : m_frame(std::move(frame)), m_dStamp(stamp), m_nRotation(rotation), m_subtitles(std::move(subtitles)) {
    const AVFrame& picture = *m_frame->pPicture;
    m_nMatrix = ColourMatrix(picture);
    m_bFullRange = FullRange(picture);
    // The sample aspect ratio widens or narrows the picture (a PAL picture
    // of 720x576 at 64:45 shows as 1024x576); an absurd ratio from a broken
    // stream is not followed.
    int width = m_frame->nWidth, height = m_frame->nHeight;
    const AVRational sar = picture.sample_aspect_ratio;
    if (sar.num > 0 && sar.den > 0) {
        const double ratio = av_q2d(sar);
        if (ratio >= 1.0 / kMaxAspectStretch && ratio <= kMaxAspectStretch)
            width = std::clamp(static_cast<int>(std::lround(width * ratio / 2)) * 2, 2, kMaxDisplaySide);
    }
    const bool sideways = rotation == 90 || rotation == 270;
    m_nWidth = sideways ? height : width;
    m_nHeight = sideways ? width : height;
}

bool FramePicture::Paint(uint8_t* bits, ptrdiff_t stride, int width, int height) const {
    if (!bits || width <= 0 || height <= 0 || stride < ptrdiff_t{4} * width ||
        stride > std::numeric_limits<int>::max())
        return false;
    const bool turned = m_nRotation == 90 || m_nRotation == 180 || m_nRotation == 270;
    const bool sideways = m_nRotation == 90 || m_nRotation == 270;
    const int uprightW = sideways ? height : width, uprightH = sideways ? width : height;
    const AVFrame& picture = *m_frame->pPicture;
    Converter& converter = t_converter;
    SwsContext* context = converter.For(
        {m_frame->nWidth, m_frame->nHeight, m_frame->nPixFmt, uprightW, uprightH, m_nMatrix, m_bFullRange});
    if (!context)
        return false;
    if (!turned) {
        uint8_t* planes[4] = {bits, nullptr, nullptr, nullptr};
        const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
        sws_scale(context, picture.data, picture.linesize, 0, m_frame->nHeight, planes, strides);
    } else {
        try {
            converter.upright.resize(size_t(uprightW) * uprightH);
        } catch (const std::bad_alloc&) {
            return false;
        }
        uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(converter.upright.data()), nullptr, nullptr, nullptr};
        const int strides[4] = {uprightW * 4, 0, 0, 0};
        sws_scale(context, picture.data, picture.linesize, 0, m_frame->nHeight, planes, strides);
        Turn(converter.upright.data(), uprightW, uprightH, m_nRotation, bits, stride);
    }
    if (m_subtitles)
        m_subtitles->Render(bits, width, height, static_cast<int>(stride), m_dStamp);
    return true;
}
