#include "output/qt/StaticVideo.h"

#include "platform/Trace.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <bit>
#include <cstdint>

// Format_RGB32 pixels read as bytes are blue, green, red, 0xFF only on
// little-endian machines, and that is what a picture paints.
static_assert(std::endian::native == std::endian::little);

CStaticVideo::CStaticVideo(QWidget* pParent) : QWidget(pParent) {
    // paintEvent covers every pixel, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CStaticVideo::~CStaticVideo() {
    ReleaseVideoWindow(this);
    DebugTrace("video window: %d pictures drawn, %d painted\r\n", m_nFramesDrawn.load(), m_nPicturesPainted.load());
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

bool CStaticVideo::DrawPicture(Canvas& canvas, const Picture& picture) {
    if (canvas.image.isNull())
        return false;
    const QRect place = PictureRect(canvas.image.size(), picture.Width(), picture.Height());
    if (place != canvas.place) {
        canvas.image.fill(Qt::black);
        canvas.place = place;
    }
    if (place.isEmpty())
        return false;
    const ptrdiff_t stride = canvas.image.bytesPerLine();
    return picture.Paint(canvas.image.bits() + place.y() * stride + place.x() * 4, stride, place.width(),
                         place.height());
}

void CStaticVideo::ShowFrame(std::shared_ptr<const Picture> picture) {
    if (!picture)
        return;
    Canvas back;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        m_picture = picture;
        if (m_canvas.image.isNull())
            return;  // the first paint draws it
        back = std::move(m_back);
        m_back = Canvas{};
        if (back.image.size() != m_canvas.image.size()) {
            back.image = QImage(m_canvas.image.size(), QImage::Format_RGB32);
            back.image.setDevicePixelRatio(m_canvas.image.devicePixelRatio());
            back.place = QRect(0, 0, -1, -1);  // bars to paint
        }
    }
    if (!DrawPicture(back, *picture))
        return;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        // A resize meanwhile made a canvas of another size, with this
        // picture drawn on it already.
        if (back.image.size() != m_canvas.image.size())
            return;
        std::swap(m_canvas, back);
        m_back = std::move(back);
        m_bPictureUnpainted = true;
        ++m_nFramesDrawn;
    }
    PostRepaint();
}

QImage CStaticVideo::CurrentPicture() const {
    std::shared_ptr<const Picture> picture;
    {
        std::lock_guard<std::mutex> lock(m_csCanvas);
        picture = m_picture;
    }
    if (!picture)
        return QImage();
    QImage image(picture->Width(), picture->Height(), QImage::Format_RGB32);
    if (image.isNull() || !picture->Paint(image.bits(), image.bytesPerLine(), image.width(), image.height()))
        return QImage();
    return image;
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
    if (m_canvas.image.isNull() || client != m_rcCanvas || devicePixelRatioF() != m_dCanvasRatio) {
        // A new size: the last picture is drawn afresh from the decoded
        // picture, so a resize while paused keeps it sharp.
        m_rcCanvas = client;
        m_dCanvasRatio = devicePixelRatioF();
        m_canvas = Canvas{MakeCanvas(), QRect()};
        m_back = Canvas{};
        if (m_picture)
            DrawPicture(m_canvas, *m_picture);
    }
    if (m_canvas.image.isNull())
        return;
    painter.drawImage(0, 0, m_canvas.image);
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
