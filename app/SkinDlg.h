#pragma once
#include <QDialog>
#include <QPixmap>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

#include "app/SkinImage.h"

// Our own skin layer: a frameless, resizable dialog that paints its frame from
// nine images (top-left, top-mid, top-right, left, right, bottom-left,
// bottom-mid, bottom-right, background colour), a caption icon and title and
// three caption buttons (minimise, maximise, close). It moves when dragged by
// the caption and resizes when dragged by an edge. Images that are missing or
// cannot be decoded fall back to a plainly drawn frame, so the window stays
// usable without a skin.
//
// Threads: UI thread only.
class CSkinDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSkinDlg(QWidget* pParent = nullptr);
    ~CSkinDlg() override;

    // The nine frame images, in the order named above.
    void SetImage(const std::string& topLeft, const std::string& topMid, const std::string& topRight,
                  const std::string& left, const std::string& right, const std::string& bottomLeft,
                  const std::string& bottomMid, const std::string& bottomRight, const std::string& color);
    // The maximise caption button: normal, hover, pressed.
    void SetMaxPic(const std::string& normal, const std::string& hover, const std::string& pressed);
    // The caption icon; the second file is the small variant (one file serves both).
    void SetTitleIcon(const std::string& big, const std::string& small, bool redraw);
    // colour is 0x00BBGGRR.
    void SetTitleText(const std::string& text, uint32_t colour);
    const QString& TitleText() const { return m_strTitle; }

    // Toggles between maximised (the screen's available area) and normal size.
    void MaxOrNormal();
    bool IsMaxed() const { return m_bMaxed; }

    // Runs OnInitDialog once; DoModal calls it when nobody has yet.
    bool InitDialog();
    // InitDialog, then the modal loop. Returns the dialog's result.
    int DoModal();
    // Ends the dialog; OnDestroy runs first, once.
    void done(int result) override;
    // For the owner's destructor: runs OnDestroy once when the loop never ran.
    void DestroyOnce();

    // Skin metrics: the height of the top band (T), of the bottom band (B) and
    // the horizontal frame allowance (R, the two side edges together).
    int TopBand() const;
    int BottomBand() const;
    int FrameAllowance() const;

protected:
    virtual bool OnInitDialog();
    virtual void OnPaint(QPainter& painter);
    virtual void OnSize(int type, int cx, int cy);
    // Called once when the dialog ends (done) or is destroyed without a loop.
    virtual void OnDestroy();
    virtual void OnLButtonDblClk(const QPoint& point);

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    enum FramePart { TL, TM, TR, L, R, BL, BM, BR, COLOR, FRAME_PARTS };
    enum CaptionButton { BTN_NONE = -1, BTN_MIN, BTN_MAX, BTN_CLOSE, CAPTION_BUTTONS };

    QRect CaptionButtonRect(int button) const;
    int CaptionButtonAt(const QPoint& point) const;
    Qt::Edges EdgesAt(const QPoint& point) const;
    void DrawFramePlain(QPainter& painter);
    void DrawFrameImages(QPainter& painter);
    void DrawCaption(QPainter& painter);

    std::array<SkinImage, FRAME_PARTS> m_frame;
    std::array<SkinImage, 3> m_maxPic;   // normal, hover, pressed
    SkinImage m_titleIcon;
    QString m_strTitle;
    QColor m_titleColour{Qt::white};
    int m_nHoverButton = BTN_NONE;
    int m_nPressedButton = BTN_NONE;
    bool m_bMaxed = false;
    QRect m_rcNormal;   // geometry to return to from the maximised state
    // A move or resize the window does itself when the system offers none.
    bool m_bDragMove = false;
    Qt::Edges m_dragEdges;
    QPoint m_dragStart;
    QRect m_rcDragStart;
    bool m_bInitDone = false;
    bool m_bDestroyed = false;
};

