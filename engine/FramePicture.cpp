#include "engine/FramePicture.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "engine/Subtitles.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
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
// Rows converted at a time when subtitles are drawn over them: a band of a
// 4K picture is 1 MB, well inside a core's cache.
constexpr int kBandRows = 32;

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

// The conversions a thread made last, kept for its next picture of the same
// shape: making them costs far more than running them. A picture shown at
// another size has its planes scaled first and is then converted at the
// size shown: swscale's scaling of planes is vectorised and so is its 1:1
// conversion, while a scaling straight into packed pixels runs its output in
// plain C at nearly twice the cost. Turned pictures are converted upright
// into `upright` first.
struct Converter {
    struct Key {
        int srcW = 0, srcH = 0, srcFmt = -1, dstW = 0, dstH = 0, matrix = -1;
        bool fullRange = false;
        bool operator==(const Key&) const = default;
    };
    Key key;
    SwsContext* scale = nullptr;    // planes to planes at the size shown; null: one pass
    SwsContext* convert = nullptr;  // to the display's pixels
    AVFrame* scaled = nullptr;      // the scaled planes
    std::vector<uint32_t> upright;

    ~Converter() { Reset(); }

    void Reset() {
        sws_freeContext(scale);
        sws_freeContext(convert);
        av_frame_free(&scaled);
        scale = convert = nullptr;
        key = Key{};
    }

    bool Prepare(const Key& want) {
        if (convert && want == key)
            return true;
        Reset();
        const auto fmt = static_cast<AVPixelFormat>(want.srcFmt);
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
        const bool twoPass = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                             (want.srcW != want.dstW || want.srcH != want.dstH);
        if (twoPass) {
            scaled = av_frame_alloc();
            if (!scaled)
                return false;
            scaled->width = want.dstW, scaled->height = want.dstH, scaled->format = fmt;
            scale = sws_getContext(want.srcW, want.srcH, fmt, want.dstW, want.dstH, fmt, kScaleFlags, nullptr, nullptr,
                                   nullptr);
            if (!scale || av_frame_get_buffer(scaled, 0) < 0) {
                Reset();
                return false;
            }
        }
        const int convertW = twoPass ? want.dstW : want.srcW, convertH = twoPass ? want.dstH : want.srcH;
        convert = sws_getContext(convertW, convertH, fmt, want.dstW, want.dstH, kDisplayFormat, kScaleFlags, nullptr,
                                 nullptr, nullptr);
        if (!convert) {
            Reset();
            return false;
        }
        const int* coefficients = sws_getCoefficients(want.matrix);
        sws_setColorspaceDetails(convert, coefficients, want.fullRange, coefficients, 1, 0, 1 << 16, 1 << 16);
        key = want;
        return true;
    }

    // Converts into `dst`. With `band`, the rows are made a band at a time,
    // and `band(from, to)` is called on each while it is still in the cache.
    void Run(const AVFrame& picture, uint8_t* dst, int dstStride,
             const std::function<void(int from, int to)>& band = nullptr) {
        uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
        const int strides[4] = {dstStride, 0, 0, 0};
        const AVFrame& source = scale ? *scaled : picture;
        if (scale)
            sws_scale(scale, picture.data, picture.linesize, 0, key.srcH, scaled->data, scaled->linesize);
        const int height = scale ? key.dstH : key.srcH;
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(key.srcFmt));
        if (!band || !desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM))) {
            sws_scale(convert, source.data, source.linesize, 0, height, planes, strides);
            if (band)
                band(0, key.dstH);
            return;
        }
        // Slices in order from the top, each a whole number of chroma rows;
        // swscale hands back how many rows of the picture it has made.
        int made = 0;
        for (int y = 0; y < height; y += kBandRows) {
            const int rows = std::min(kBandRows, height - y);
            const uint8_t* slice[4] = {};
            for (int p = 0; p < 4 && source.data[p]; ++p) {
                const int shift = p == 1 || p == 2 ? desc->log2_chroma_h : 0;
                slice[p] = source.data[p] + ptrdiff_t(y >> shift) * source.linesize[p];
            }
            const int out = sws_scale(convert, slice, source.linesize, y, rows, planes, strides);
            if (out > 0) {
                const int until = std::min(made + out, key.dstH);
                band(made, until);
                made = until;
            }
        }
        if (made < key.dstH)
            band(made, key.dstH);
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
    if (!converter.Prepare(
            {m_frame->nWidth, m_frame->nHeight, m_frame->nPixFmt, uprightW, uprightH, m_nMatrix, m_bFullRange}))
        return false;
    if (turned) {
        try {
            converter.upright.resize(size_t(uprightW) * uprightH);
        } catch (const std::bad_alloc&) {
            return false;
        }
        converter.Run(picture, reinterpret_cast<uint8_t*>(converter.upright.data()), uprightW * 4);
        Turn(converter.upright.data(), uprightW, uprightH, m_nRotation, bits, stride);
        if (m_subtitles)
            m_subtitles->Render(bits, width, height, static_cast<int>(stride), m_dStamp);
        return true;
    }
    // Subtitles are drawn into each band of rows as it is made; with none
    // due, the subtitles are let go before the picture is made.
    std::optional<Subtitles::Drawing> drawing;
    if (m_subtitles)
        drawing.emplace(m_subtitles->Begin(width, height, m_dStamp));
    if (drawing && drawing->Empty())
        drawing.reset();
    if (drawing)
        converter.Run(picture, bits, static_cast<int>(stride),
                      [&](int from, int to) { drawing->Rows(bits, static_cast<int>(stride), from, to); });
    else
        converter.Run(picture, bits, static_cast<int>(stride));
    return true;
}
