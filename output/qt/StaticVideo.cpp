#include "output/qt/StaticVideo.h"

#include "platform/Trace.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

CStaticVideo::CStaticVideo(QWidget* pParent) : QWidget(pParent) {
    // paintEvent covers every pixel, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CStaticVideo::~CStaticVideo() {
    ReleaseVideoWindow(this);
    DebugTrace("video window: %d pictures drawn, %d painted\r\n", m_nFramesDrawn.load(), m_nPicturesPainted.load());
}

void CStaticVideo::SetVideoSize(int width, int height) {
    m_nVideoWidth = width;
    m_nVideoHeight = height;
}

// Format_RGB32 pixels read as bytes are blue, green, red only on little-endian machines.
static_assert(std::endian::native == std::endian::little);

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Four pixels per shuffle, a group taken only while six pixels remain, so the
// 16-byte load never passes the row. Returns the pixels done.
__attribute__((target("ssse3"))) int ExpandBgrRowSsse3(uint32_t* out, const uint8_t* src, int count) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int x = 0;
    for (; x + 6 <= count; x += 4, src += 12) {
        const __m128i bgr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_shuffle_epi8(bgr, spread), opaque));
    }
    return x;
}
#endif

// The leading pixels of a row of packed blue-green-red pixels turned into
// RGB32 with the fastest means the processor offers; returns how many.
int ExpandBgrRow(uint32_t* out, const uint8_t* src, int count) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool haveSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    if (haveSsse3)
        return ExpandBgrRowSsse3(out, src, count);
#endif
    (void)out, (void)src, (void)count;
    return 0;
}

} // namespace

void CStaticVideo::ColumnMap::Prepare(int srcWidth, int dstWidth) {
    if (srcWidth == m_nSrcWidth && dstWidth == m_nDstWidth)
        return;
    m_nSrcWidth = srcWidth;
    m_nDstWidth = dstWidth;
    const int pixelBytes = m_nPixelBytes;
    m_offsets.resize(static_cast<size_t>(std::max(dstWidth, 0)));
    // A 4-byte load of the last 3-byte pixel of a row could run past the buffer.
    const int lastPixel = (srcWidth - 1) * pixelBytes;
    m_nWholeLoads = dstWidth;
    for (int x = 0; x < dstWidth; ++x) {
        m_offsets[x] = static_cast<int>((2 * int64_t{x} + 1) * srcWidth / (2 * int64_t{dstWidth})) * pixelBytes;
        if (pixelBytes < 4 && m_nWholeLoads == dstWidth && m_offsets[x] == lastPixel)
            m_nWholeLoads = x;
    }
}

// Stretches a w x h picture over the whole of dst (Format_RGB32), nearest
// pixel by pixel centre, so a picture of the canvas size is copied exactly.
// Source rows are srcStride bytes apart from the top row; each pixel is
// map's pixelBytes long and starts blue, green, red. Plain loops rather than
// QPainter: Qt spreads large scaled draws over its own thread pool, out of
// sight of the canvas lock and of the race checker.
void CStaticVideo::StretchOnto(QImage& dst, const uint8_t* srcTop, ptrdiff_t srcStride, int w, int h,
                               ColumnMap& map) {
    const int dw = dst.width(), dh = dst.height();
    if (dw <= 0 || dh <= 0)
        return;
    const int pixelBytes = map.PixelBytes();
    map.Prepare(w, dw);
    const int* columns = map.Offsets();
    const int wholeLoads = map.WholeLoads();
    const bool sameWidth = w == dw;
    const size_t rowBytes = static_cast<size_t>(dw) * sizeof(uint32_t);
    uint8_t* bits = dst.bits();
    const ptrdiff_t dstStride = dst.bytesPerLine();
    int prevSy = -1;
    const uint8_t* prevOut = nullptr;
    for (int y = 0; y < dh; ++y) {
        const int sy = static_cast<int>((2 * int64_t{y} + 1) * h / (2 * int64_t{dh}));
        uint8_t* outRow = bits + y * dstStride;
        if (sy == prevSy) {
            // Stretching upwards repeats a source row: copy the one just made.
            std::memcpy(outRow, prevOut, rowBytes);
            continue;
        }
        const uint8_t* src = srcTop + sy * srcStride;
        auto* out = reinterpret_cast<uint32_t*>(outRow);
        // One 4-byte load per pixel: blue, green, red land where RGB32 wants
        // them and the fourth byte is overwritten by the opaque alpha.
        int x = 0;
        if (sameWidth) {
            if (pixelBytes == 3)
                x = ExpandBgrRow(out, src, wholeLoads);
            for (const uint8_t* p = src + x * pixelBytes; x < wholeLoads; ++x, p += pixelBytes) {
                uint32_t v;
                std::memcpy(&v, p, sizeof v);
                out[x] = v | 0xFF000000u;
            }
        } else {
            for (; x < wholeLoads; ++x) {
                uint32_t v;
                std::memcpy(&v, src + columns[x], sizeof v);
                out[x] = v | 0xFF000000u;
            }
        }
        for (; x < dw; ++x) {
            uint32_t v = 0;
            std::memcpy(&v, src + columns[x], 3);
            out[x] = v | 0xFF000000u;
        }
        prevSy = sy;
        prevOut = outRow;
    }
}

QRect CStaticVideo::PictureRect(const QSize& canvas, int w, int h) {
    const int cw = canvas.width(), ch = canvas.height();
    if (w <= 0 || h <= 0 || cw <= 0 || ch <= 0)
        return QRect();
    if (int64_t{cw} * h > int64_t{ch} * w) {
        const int tw = std::max(1, static_cast<int>(int64_t{ch} * w / h));
        return QRect((cw - tw) / 2, 0, tw, ch);
    }
    const int th = std::max(1, static_cast<int>(int64_t{cw} * h / w));
    return QRect(0, (ch - th) / 2, cw, th);
}

void CStaticVideo::ShowFrame(const uint8_t* bits) {
    if (!bits || m_nVideoWidth <= 0 || m_nVideoHeight <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        if (!m_canvas.isNull()) {
            const QRect place = PictureRect(m_canvas.size(), m_nVideoWidth, m_nVideoHeight);
            if (place != m_rcPicture) {
                m_canvas.fill(Qt::black);
                m_rcPicture = place;
            }
            // A view of the picture's part of the canvas, sharing its pixels.
            QImage view(m_canvas.bits() + place.y() * m_canvas.bytesPerLine() + place.x() * 4, place.width(),
                        place.height(), m_canvas.bytesPerLine(), QImage::Format_RGB32);
            StretchOnto(view, bits, ptrdiff_t{3} * m_nVideoWidth, m_nVideoWidth, m_nVideoHeight, m_pictureColumns);
            m_bPictureUnpainted = true;
            ++m_nFramesDrawn;
        }
    }
    PostRepaint();
}

void CStaticVideo::PostRepaint() {
    if (m_bRepaintPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bRepaintPosted = false;
            update();
        },
        Qt::QueuedConnection);
}

void CStaticVideo::Refresh() {
    update();
}

QImage CStaticVideo::MakeCanvas() const {
    const qreal ratio = devicePixelRatioF();
    QImage canvas(size() * ratio, QImage::Format_RGB32);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::black);
    return canvas;
}

void CStaticVideo::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect client = rect();
    std::lock_guard<std::mutex> lock(m_csCanvas);
    if (m_canvas.isNull() || client != m_rcCanvas || devicePixelRatioF() != m_dCanvasRatio) {
        m_rcCanvas = client;
        m_dCanvasRatio = devicePixelRatioF();
        // Start the new canvas from the old picture, rescaled into its new
        // place, so a resize while paused keeps showing it until the next
        // picture arrives.
        QImage canvas = MakeCanvas();
        QRect place;
        if (!m_canvas.isNull() && !m_rcPicture.isEmpty() && !canvas.isNull()) {
            place = PictureRect(canvas.size(), m_rcPicture.width(), m_rcPicture.height());
            QImage view(canvas.bits() + place.y() * canvas.bytesPerLine() + place.x() * 4, place.width(),
                        place.height(), canvas.bytesPerLine(), QImage::Format_RGB32);
            ColumnMap columns(4);
            StretchOnto(view, m_canvas.constBits() + m_rcPicture.y() * m_canvas.bytesPerLine() + m_rcPicture.x() * 4,
                        m_canvas.bytesPerLine(), m_rcPicture.width(), m_rcPicture.height(), columns);
        }
        m_canvas = std::move(canvas);
        // The next picture repaints the bars when its place differs.
        m_rcPicture = place;
    }
    if (m_canvas.isNull())
        return;
    painter.drawImage(0, 0, m_canvas);
    if (m_bPictureUnpainted) {
        m_bPictureUnpainted = false;
        if (++m_nPicturesPainted == 1)
            DebugTrace("video window: first picture painted\r\n");
    }
}

void CStaticVideo::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() == Qt::LeftButton)
        emit DoubleClicked();
}
