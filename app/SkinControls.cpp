#include "app/SkinControls.h"

#include "app/SkinDlg.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr QColor kPlainFace(0x2a, 0x2d, 0x33);
constexpr QColor kPlainFaceHover(0x3a, 0x3e, 0x46);
constexpr QColor kPlainFacePressed(0x22, 0x5f, 0xc0);
constexpr QColor kPlainChannel(0x3a, 0x3e, 0x46);
constexpr QColor kPlainPlayed(0x3d, 0x8b, 0xfd);
constexpr QColor kPlainThumb(0xd8, 0xdc, 0xe2);
constexpr int kPlainThumbWidth = 10;
constexpr int kChannelHeight = 6;
// Share of the range one page key or channel click moves.
constexpr int kPageDivisor = 5;
} // namespace

// CButtonEx

CButtonEx::CButtonEx(QWidget* pParent) : QAbstractButton(pParent) {
    setFocusPolicy(Qt::TabFocus);
}

CButtonEx::~CButtonEx() = default;

void CButtonEx::SetImage(const std::string& normal, const std::string& hover, const std::string& pressed,
                         bool stretch, bool hand) {
    m_images = {SkinImage(normal), SkinImage(hover), SkinImage(pressed)};
    m_strNormal = normal;
    m_bStretch = stretch;
    if (hand)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    update();
}

void CButtonEx::SetToolTip(const std::string& text) {
    setToolTip(QString::fromStdString(text));
}

void CButtonEx::enterEvent(QEnterEvent* event) {
    m_bHover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CButtonEx::leaveEvent(QEvent* event) {
    m_bHover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CButtonEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int state = isDown() ? 2 : m_bHover ? 1 : 0;
    const SkinImage& image = !m_images[state].isNull() ? m_images[state] : m_images[0];
    if (image.isNull()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(state == 2 ? kPlainFacePressed : state == 1 ? kPlainFaceHover : kPlainFace);
        painter.setPen(kPlainChannel);
        painter.drawRoundedRect(rect().adjusted(0, 0, -1, -1), 6, 6);
        return;
    }
    if (m_bStretch) {
        painter.drawPixmap(rect(), image.For(*this));
    } else {
        const QSize size = image.Size().boundedTo(this->size());
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        painter.drawPixmap(target, image.For(*this));
    }
}

// CSliderCtrlEx

CSliderCtrlEx::CSliderCtrlEx(QWidget* pParent) : QWidget(pParent) {
    setFocusPolicy(Qt::StrongFocus);
}

CSliderCtrlEx::~CSliderCtrlEx() = default;

void CSliderCtrlEx::SetImage(const std::string& foreground, const std::string& background, const std::string& thumb) {
    m_images = {SkinImage(foreground), SkinImage(background), SkinImage(thumb)};
    update();
}

void CSliderCtrlEx::SetRange(int min, int max, bool redraw) {
    m_nMin = min;
    m_nMax = std::max(min, max);
    m_nPos = std::clamp(m_nPos, m_nMin, m_nMax);
    if (redraw)
        update();
}

void CSliderCtrlEx::SetPos(int pos) {
    const int clamped = std::clamp(pos, m_nMin, m_nMax);
    if (clamped != m_nPos) {
        m_nPos = clamped;
        update();
    }
}

int CSliderCtrlEx::ThumbWidth() const {
    return m_images[2].isNull() ? kPlainThumbWidth : m_images[2].Size().width();
}

QRect CSliderCtrlEx::ThumbRect() const {
    const int span = std::max(0, width() - ThumbWidth());
    const int range = m_nMax - m_nMin;
    const int x = range > 0 ? static_cast<int>(int64_t(m_nPos - m_nMin) * span / range) : 0;
    const int h = m_images[2].isNull() ? height() - 4 : std::min(height(), m_images[2].Size().height());
    return QRect(x, (height() - h) / 2, ThumbWidth(), h);
}

int CSliderCtrlEx::PosFromX(int x) const {
    const int span = std::max(1, width() - ThumbWidth());
    const int offset = std::clamp(x - ThumbWidth() / 2, 0, span);
    return m_nMin + static_cast<int>((int64_t(offset) * (m_nMax - m_nMin) + span / 2) / span);
}

void CSliderCtrlEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect thumb = ThumbRect();
    const QRect channel(ThumbWidth() / 2, (height() - kChannelHeight) / 2,
                        std::max(0, width() - ThumbWidth()), kChannelHeight);
    const QRect played(channel.left(), channel.top(), std::max(0, thumb.center().x() - channel.left()),
                       kChannelHeight);
    if (m_images[1].isNull())
        painter.fillRect(channel, kPlainChannel);
    else
        painter.drawPixmap(channel, m_images[1].For(*this));
    if (m_images[0].isNull())
        painter.fillRect(played, kPlainPlayed);
    else
        painter.drawPixmap(played, m_images[0].For(*this));
    if (m_images[2].isNull()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(kPlainThumb);
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(thumb, 3, 3);
    } else {
        painter.drawPixmap(thumb, m_images[2].For(*this));
    }
}

void CSliderCtrlEx::UserMove(int pos, int code, bool reportPos) {
    SetPos(pos);
    emit HScroll(code, reportPos ? m_nPos : 0);
}

void CSliderCtrlEx::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    if (ThumbRect().contains(point)) {
        m_bDragging = true;
        return;
    }
    // A click in the channel pages toward the click, as a trackbar does.
    const int page = std::max(1, (m_nMax - m_nMin) / kPageDivisor);
    if (point.x() < ThumbRect().left())
        UserMove(std::max(PosFromX(point.x()), m_nPos - page), SB_PAGEUP, false);
    else
        UserMove(std::min(PosFromX(point.x()), m_nPos + page), SB_PAGEDOWN, false);
}

void CSliderCtrlEx::mouseMoveEvent(QMouseEvent* event) {
    if (m_bDragging)
        UserMove(PosFromX(event->position().toPoint().x()), SB_THUMBTRACK, true);
}

void CSliderCtrlEx::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (m_bDragging) {
        m_bDragging = false;
        UserMove(PosFromX(event->position().toPoint().x()), SB_THUMBPOSITION, true);
    }
    emit HScroll(SB_ENDSCROLL, 0);
}

void CSliderCtrlEx::keyPressEvent(QKeyEvent* event) {
    const int page = std::max(1, (m_nMax - m_nMin) / kPageDivisor);
    switch (event->key()) {
    case Qt::Key_Left: UserMove(m_nPos - 1, SB_LINEUP, false); break;
    case Qt::Key_Right: UserMove(m_nPos + 1, SB_LINEDOWN, false); break;
    case Qt::Key_PageUp: UserMove(m_nPos - page, SB_PAGEUP, false); break;
    case Qt::Key_PageDown: UserMove(m_nPos + page, SB_PAGEDOWN, false); break;
    case Qt::Key_Home: UserMove(m_nMin, SB_TOP, false); break;
    case Qt::Key_End: UserMove(m_nMax, SB_BOTTOM, false); break;
    default: QWidget::keyPressEvent(event); return;
    }
    emit HScroll(SB_ENDSCROLL, 0);
}
