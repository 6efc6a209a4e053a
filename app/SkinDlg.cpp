#include "app/SkinDlg.h"

#include "platform/Trace.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace {
// Metrics used when the frame images are missing.
constexpr int kPlainTopBand = 32;
constexpr int kPlainBottomBand = 80;
constexpr int kPlainEdge = 2;
// Width of the strip along each edge that starts a resize.
constexpr int kResizeBorder = 5;
constexpr int kCaptionButtonWidth = 28;
constexpr int kCaptionButtonHeight = 24;
constexpr int kCaptionIconSize = 20;
constexpr QColor kPlainBand(0x2a, 0x2d, 0x33);
constexpr QColor kPlainBackground(0x1e, 0x20, 0x24);
constexpr QColor kPlainEdgeColour(0x3a, 0x3e, 0x46);
constexpr QColor kCaptionGlyph(0xd8, 0xdc, 0xe2);
} // namespace

CSkinDlg::CSkinDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinMaxButtonsHint);
    setMouseTracking(true);
    setSizeGripEnabled(false);
    setMinimumSize(200, kPlainTopBand + kPlainBottomBand);
}

CSkinDlg::~CSkinDlg() = default;

void CSkinDlg::SetImage(const std::string& topLeft, const std::string& topMid, const std::string& topRight,
                        const std::string& left, const std::string& right, const std::string& bottomLeft,
                        const std::string& bottomMid, const std::string& bottomRight, const std::string& color) {
    const std::string* paths[FRAME_PARTS] = {&topLeft, &topMid, &topRight, &left, &right,
                                             &bottomLeft, &bottomMid, &bottomRight, &color};
    for (int i = 0; i < FRAME_PARTS; ++i)
        m_frame[i] = SkinImage(*paths[i]);
    update();
}

void CSkinDlg::SetMaxPic(const std::string& normal, const std::string& hover, const std::string& pressed) {
    m_maxPic = {SkinImage(normal), SkinImage(hover), SkinImage(pressed)};
    update();
}

void CSkinDlg::SetTitleIcon(const std::string& big, const std::string& small, bool redraw) {
    m_titleIcon = SkinImage(big);
    if (m_titleIcon.isNull())
        m_titleIcon = SkinImage(small);
    if (!m_titleIcon.isNull())
        setWindowIcon(m_titleIcon.Icon());
    if (redraw)
        update();
}

void CSkinDlg::SetTitleText(const std::string& text, uint32_t colour) {
    m_strTitle = QString::fromStdString(text);
    m_titleColour = QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
    setWindowTitle(m_strTitle.trimmed());
    update();
}

void CSkinDlg::MaxOrNormal() {
    // The geometry is set here as well, since without a window manager the
    // maximised state alone changes nothing.
    if (m_bMaxed) {
        m_bMaxed = false;
        showNormal();
        if (m_rcNormal.isValid())
            setGeometry(m_rcNormal);
        return;
    }
    m_rcNormal = geometry();
    m_bMaxed = true;
    showMaximized();
    if (const QScreen* pScreen = screen())
        setGeometry(pScreen->availableGeometry());
}

bool CSkinDlg::InitDialog() {
    if (m_bInitDone)
        return true;
    m_bInitDone = true;
    return OnInitDialog();
}

int CSkinDlg::DoModal() {
    InitDialog();
    return exec();
}

int CSkinDlg::TopBand() const {
    return m_frame[TM].isNull() ? kPlainTopBand : m_frame[TM].Size().height();
}

int CSkinDlg::BottomBand() const {
    return m_frame[BM].isNull() ? kPlainBottomBand : m_frame[BM].Size().height();
}

int CSkinDlg::FrameAllowance() const {
    const int left = m_frame[L].isNull() ? kPlainEdge : m_frame[L].Size().width();
    const int right = m_frame[R].isNull() ? kPlainEdge : m_frame[R].Size().width();
    return left + right;
}

bool CSkinDlg::OnInitDialog() {
    return true;
}

void CSkinDlg::OnSize(int, int, int) {
    update();
}

void CSkinDlg::OnDestroy() {}

void CSkinDlg::OnLButtonDblClk(const QPoint& point) {
    if (point.y() < TopBand() && CaptionButtonAt(point) == BTN_NONE)
        MaxOrNormal();
}

void CSkinDlg::done(int result) {
    // Off the screen first: the shutdown that follows may take a moment, and a
    // window frozen on screen looks hung.
    hide();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    DestroyOnce();
    QDialog::done(result);
}

void CSkinDlg::DestroyOnce() {
    if (m_bDestroyed)
        return;
    m_bDestroyed = true;
    OnDestroy();
}

// Painting.

void CSkinDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    OnPaint(painter);
}

void CSkinDlg::OnPaint(QPainter& painter) {
    const bool complete = std::all_of(m_frame.begin(), m_frame.end(), [](const SkinImage& p) { return !p.isNull(); });
    if (complete)
        DrawFrameImages(painter);
    else
        DrawFramePlain(painter);
    DrawCaption(painter);
}

void CSkinDlg::DrawFramePlain(QPainter& painter) {
    const int w = width(), h = height();
    painter.fillRect(rect(), kPlainBackground);
    painter.fillRect(0, 0, w, TopBand(), kPlainBand);
    painter.fillRect(0, h - BottomBand(), w, BottomBand(), kPlainBand);
    painter.setPen(kPlainEdgeColour);
    painter.drawRect(0, 0, w - 1, h - 1);
}

void CSkinDlg::DrawFrameImages(QPainter& painter) {
    const int w = width(), h = height();
    const int top = TopBand(), bottom = BottomBand();
    const int tl = m_frame[TL].Size().width(), tr = m_frame[TR].Size().width();
    const int bl = m_frame[BL].Size().width(), br = m_frame[BR].Size().width();
    const int l = m_frame[L].Size().width(), r = m_frame[R].Size().width();
    const auto part = [&](int i) -> const QPixmap& { return m_frame[i].For(*this); };
    painter.drawPixmap(QRect(0, 0, w, h), part(COLOR));
    painter.drawPixmap(0, 0, part(TL));
    painter.drawPixmap(QRect(tl, 0, std::max(0, w - tl - tr), top), part(TM));
    painter.drawPixmap(w - tr, 0, part(TR));
    painter.drawPixmap(QRect(0, top, l, std::max(0, h - top - bottom)), part(L));
    painter.drawPixmap(QRect(w - r, top, r, std::max(0, h - top - bottom)), part(R));
    painter.drawPixmap(0, h - bottom, part(BL));
    painter.drawPixmap(QRect(bl, h - bottom, std::max(0, w - bl - br), bottom), part(BM));
    painter.drawPixmap(w - br, h - bottom, part(BR));
}

void CSkinDlg::DrawCaption(QPainter& painter) {
    const int band = TopBand();
    int x = 8;
    if (!m_titleIcon.isNull()) {
        const int size = std::min(kCaptionIconSize, band);
        painter.drawPixmap(QRect(x, (band - size) / 2, size, size), m_titleIcon.For(*this));
        x += size + 4;
    }
    painter.setPen(m_titleColour);
    painter.drawText(QRect(x, 0, std::max(0, width() - x - 3 * kCaptionButtonWidth), band),
                     Qt::AlignVCenter | Qt::AlignLeft, m_strTitle);

    for (int button = 0; button < CAPTION_BUTTONS; ++button) {
        const QRect rc = CaptionButtonRect(button);
        const int state = m_nPressedButton == button ? 2 : m_nHoverButton == button ? 1 : 0;
        if (button == BTN_MAX && !m_maxPic[state].isNull()) {
            painter.drawPixmap(rc, m_maxPic[state].For(*this));
            continue;
        }
        if (state != 0)
            painter.fillRect(rc, button == BTN_CLOSE ? QColor(0xc4, 0x2b, 0x1c) : kPlainEdgeColour);
        painter.setPen(QPen(kCaptionGlyph, 1.5));
        const QPoint c = rc.center();
        if (button == BTN_MIN) {
            painter.drawLine(c.x() - 5, c.y() + 4, c.x() + 5, c.y() + 4);
        } else if (button == BTN_MAX) {
            painter.drawRect(c.x() - 5, c.y() - 5, 10, 10);
        } else {
            painter.drawLine(c.x() - 5, c.y() - 5, c.x() + 5, c.y() + 5);
            painter.drawLine(c.x() - 5, c.y() + 5, c.x() + 5, c.y() - 5);
        }
    }
}

// Caption buttons, moving and resizing.

QRect CSkinDlg::CaptionButtonRect(int button) const {
    const int y = std::max(0, (TopBand() - kCaptionButtonHeight) / 2);
    const int x = width() - 4 - (CAPTION_BUTTONS - button) * kCaptionButtonWidth;
    return QRect(x, y, kCaptionButtonWidth, kCaptionButtonHeight);
}

int CSkinDlg::CaptionButtonAt(const QPoint& point) const {
    for (int button = 0; button < CAPTION_BUTTONS; ++button)
        if (CaptionButtonRect(button).contains(point))
            return button;
    return BTN_NONE;
}

Qt::Edges CSkinDlg::EdgesAt(const QPoint& point) const {
    Qt::Edges edges;
    if (m_bMaxed || isFullScreen())
        return edges;
    if (point.x() < kResizeBorder) edges |= Qt::LeftEdge;
    if (point.x() >= width() - kResizeBorder) edges |= Qt::RightEdge;
    if (point.y() < kResizeBorder) edges |= Qt::TopEdge;
    if (point.y() >= height() - kResizeBorder) edges |= Qt::BottomEdge;
    return edges;
}

void CSkinDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QDialog::mousePressEvent(event);
    const QPoint point = event->position().toPoint();
    const Qt::Edges edges = EdgesAt(point);
    m_nPressedButton = CaptionButtonAt(point);
    m_dragEdges = {};
    m_bDragMove = false;
    if (m_nPressedButton != BTN_NONE) {
        update();
    } else if (edges) {
        // Without a window manager there is no system resize: do it here.
        if (!windowHandle() || !windowHandle()->startSystemResize(edges)) {
            m_dragEdges = edges;
            m_dragStart = event->globalPosition().toPoint();
            m_rcDragStart = geometry();
        }
    } else if (point.y() < TopBand() && !isFullScreen()) {
        if (!windowHandle() || !windowHandle()->startSystemMove()) {
            m_bDragMove = true;
            m_dragStart = event->globalPosition().toPoint();
            m_rcDragStart = geometry();
        }
    }
}

void CSkinDlg::mouseMoveEvent(QMouseEvent* event) {
    if ((m_bDragMove || m_dragEdges) && event->buttons() & Qt::LeftButton) {
        const QPoint delta = event->globalPosition().toPoint() - m_dragStart;
        if (m_bDragMove) {
            move(m_rcDragStart.topLeft() + delta);
            return;
        }
        QRect rc = m_rcDragStart;
        if (m_dragEdges & Qt::LeftEdge)
            rc.setLeft(std::min(rc.left() + delta.x(), rc.right() - minimumWidth()));
        if (m_dragEdges & Qt::RightEdge)
            rc.setRight(rc.right() + delta.x());
        if (m_dragEdges & Qt::TopEdge)
            rc.setTop(std::min(rc.top() + delta.y(), rc.bottom() - minimumHeight()));
        if (m_dragEdges & Qt::BottomEdge)
            rc.setBottom(rc.bottom() + delta.y());
        setGeometry(rc.normalized());
        return;
    }
    const QPoint point = event->position().toPoint();
    const int hover = CaptionButtonAt(point);
    if (hover != m_nHoverButton) {
        m_nHoverButton = hover;
        update();
    }
    const Qt::Edges edges = EdgesAt(point);
    if ((edges & Qt::LeftEdge && edges & Qt::TopEdge) || (edges & Qt::RightEdge && edges & Qt::BottomEdge))
        setCursor(Qt::SizeFDiagCursor);
    else if ((edges & Qt::RightEdge && edges & Qt::TopEdge) || (edges & Qt::LeftEdge && edges & Qt::BottomEdge))
        setCursor(Qt::SizeBDiagCursor);
    else if (edges & (Qt::LeftEdge | Qt::RightEdge))
        setCursor(Qt::SizeHorCursor);
    else if (edges & (Qt::TopEdge | Qt::BottomEdge))
        setCursor(Qt::SizeVerCursor);
    else
        unsetCursor();
}

void CSkinDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_bDragMove = false;
        m_dragEdges = {};
    }
    const int pressed = m_nPressedButton;
    m_nPressedButton = BTN_NONE;
    if (pressed == BTN_NONE || event->button() != Qt::LeftButton)
        return;
    update();
    if (CaptionButtonAt(event->position().toPoint()) != pressed)
        return;
    if (pressed == BTN_MIN)
        showMinimized();
    else if (pressed == BTN_MAX)
        MaxOrNormal();
    else
        reject();
}

void CSkinDlg::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        OnLButtonDblClk(event->position().toPoint());
}

void CSkinDlg::leaveEvent(QEvent*) {
    if (m_nHoverButton != BTN_NONE) {
        m_nHoverButton = BTN_NONE;
        update();
    }
}

void CSkinDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int type = m_bMaxed ? 2 : isMinimized() ? 1 : 0;   // SIZE_MAXIMIZED, SIZE_MINIMIZED, SIZE_RESTORED
    OnSize(type, width(), height());
}
