#pragma once
#include <QAbstractButton>
#include <QWidget>

#include "app/SkinImage.h"

#include <array>
#include <string>

// Image controls of the skin layer. Missing images fall back to plain drawing.
//
// Threads: UI thread only.

// A push button drawn from three images (normal, hover, pressed); clicks are
// the ordinary clicked() signal.
class CButtonEx : public QAbstractButton {
    Q_OBJECT
public:
    explicit CButtonEx(QWidget* pParent = nullptr);
    ~CButtonEx() override;

    // stretch: scale the images to the button (else centred at their size);
    // hand: show a pointing-hand cursor over the button.
    void SetImage(const std::string& normal, const std::string& hover, const std::string& pressed,
                  bool stretch, bool hand);
    void SetToolTip(const std::string& text);
    // The file the normal image came from (what the button currently shows at rest).
    const std::string& NormalImage() const { return m_strNormal; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    std::array<SkinImage, 3> m_images;
    std::string m_strNormal;
    bool m_bStretch = false;
    bool m_bHover = false;
};

// Trackbar scroll codes carried by CSliderCtrlEx::HScroll.
enum SliderScrollCode : int {
    SB_LINEUP = 0, SB_LINEDOWN = 1, SB_PAGEUP = 2, SB_PAGEDOWN = 3,
    SB_THUMBPOSITION = 4, SB_THUMBTRACK = 5, SB_TOP = 6, SB_BOTTOM = 7, SB_ENDSCROLL = 8
};

// A horizontal image trackbar: range and position like a standard trackbar,
// default range 0..100. User changes emit HScroll(code, pos) to whoever
// connects (the parent); pos is the thumb position for SB_THUMBTRACK and
// SB_THUMBPOSITION and 0 for every other code. SetPos emits nothing.
class CSliderCtrlEx : public QWidget {
    Q_OBJECT
public:
    explicit CSliderCtrlEx(QWidget* pParent = nullptr);
    ~CSliderCtrlEx() override;

    // Played part, channel background, thumb.
    void SetImage(const std::string& foreground, const std::string& background, const std::string& thumb);
    void SetRange(int min, int max, bool redraw);
    int GetRangeMin() const { return m_nMin; }
    int GetRangeMax() const { return m_nMax; }
    // Clamped to the range.
    void SetPos(int pos);
    int GetPos() const { return m_nPos; }

signals:
    void HScroll(int code, int pos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int ThumbWidth() const;
    QRect ThumbRect() const;
    int PosFromX(int x) const;
    // Moves the thumb on a user action and reports it.
    void UserMove(int pos, int code, bool reportPos);

    std::array<SkinImage, 3> m_images;   // foreground, background, thumb
    int m_nMin = 0;
    int m_nMax = 100;
    int m_nPos = 0;
    bool m_bDragging = false;
};
