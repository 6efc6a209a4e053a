#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

class QWidget;

// Rules-based placement of a window's child controls: each edge of a control
// is tied to an edge of the parent's client area or of another control.
//
// Threads: everything here belongs to the UI thread.

// Pixels; right and bottom are exclusive, so width = right - left.
struct LayoutRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const LayoutRect&) const = default;
};

// Edge numbers, the same for the anchored edge and the reference edge.
enum AnchorEdge : int { EDGE_TOP = 0, EDGE_LEFT = 1, EDGE_BOTTOM = 2, EDGE_RIGHT = 3 };
constexpr int ANCHOR_EDGE_COUNT = 4;

// Reference id that names the parent's client area.
constexpr uint32_t ANCHOR_PARENT_ID = 0;

// One control as the layout sees it.
class LayoutItem {
public:
    virtual ~LayoutItem() = default;
    // False once the control's window has gone.
    virtual bool IsWindow() const = 0;
    virtual void Show(bool show) = 0;
    // Moves and resizes; the control repaints itself as part of the move.
    virtual void Move(const LayoutRect& rect) = 0;
    // Asks for one more full repaint with the background erased.
    virtual void Invalidate() = 0;
};

// The parent window as the layout sees it.
class LayoutParent {
public:
    virtual ~LayoutParent() = default;
    // Left and top are 0.
    virtual LayoutRect ClientRect() const = 0;
    virtual LayoutRect ClientToScreen(const LayoutRect& rect) const = 0;
    // The child control registered under `id`, or null. Owned by the parent
    // object; valid until the next call.
    virtual LayoutItem* DlgItem(uint32_t id) = 0;
    // Invalidates, erases and repaints the whole window at once.
    virtual void RedrawWindow() = 0;
};

class CAnchorLayout {
public:
    struct Anchor {
        bool bToParent = false;
        int nOffset = 0;        // its sign also decides how anchors of one edge combine
        uint32_t nRefId = ANCHOR_PARENT_ID;
        int nRefEdge = EDGE_TOP;
    };

    // The parent is not owned and must outlive the layout.
    explicit CAnchorLayout(LayoutParent* pParent);

    // Creates or updates the record of `id`; anchors already added stay.
    // A null window means: look the control up among the parent's items on
    // every move. clientCoords false converts rectangles to screen
    // coordinates before moving (top-level pop-ups).
    void AddControl(uint32_t id, int height, int width, bool hidden = false,
                    LayoutItem* pWindow = nullptr, bool clientCoords = true);

    // Ties `edge` of `id` to `refEdge` of control `refId` (0 = the parent's
    // client area) at `offset` pixels. Edge numbers outside 0..3 add nothing.
    void AddAnchor(uint32_t id, int edge, int refEdge, int offset, uint32_t refId = ANCHOR_PARENT_ID);

    // Recomputes and moves every control in ascending id order; with redraw
    // the controls and then the whole parent are repainted.
    void Apply(bool redraw);

    // The rectangle of one control, computed once per Apply. False (and rect
    // untouched) when id is not registered. An edge without an anchor follows
    // from the opposite edge and the size; an axis without any anchor starts
    // from rect's input.
    bool ComputeRect(uint32_t id, LayoutRect& rect);

    // The coordinate an anchor gives; a hidden control ignores offsets.
    int ResolveAnchor(const Anchor& anchor, bool hidden);

    // Shows or hides one control and moves it to rect.
    void MoveControl(uint32_t id, const LayoutRect& rect, bool hidden, LayoutItem* pWindow, bool repaint);

private:
    struct ControlLayout {
        int nHeight = 0;
        int nWidth = 0;
        bool bHidden = false;
        LayoutItem* pWindow = nullptr;
        bool bClientCoords = true;
        std::vector<Anchor> anchors[ANCHOR_EDGE_COUNT];   // indexed by AnchorEdge
    };

    LayoutParent* m_pParent;
    std::map<uint32_t, LayoutRect> m_mapComputed;
    std::map<uint32_t, ControlLayout> m_mapControls;
    // Ids whose rectangle is being computed; a reference back to one of them
    // is a cycle and resolves as an unregistered id instead of recursing forever.
    std::set<uint32_t> m_setComputing;
};

// Tags a child widget with the id under which CQtLayoutParent finds it.
void SetControlId(QWidget* pWidget, uint32_t id);

// A QWidget as the parent of an anchor layout. Children are found by the id
// set with SetControlId; Item() wraps a widget for AddControl.
class CQtLayoutParent : public LayoutParent {
public:
    explicit CQtLayoutParent(QWidget* pWnd);
    ~CQtLayoutParent() override;

    // A wrapper owned by this object, for passing a widget to AddControl.
    LayoutItem* Item(QWidget* pWidget);

    LayoutRect ClientRect() const override;
    LayoutRect ClientToScreen(const LayoutRect& rect) const override;
    LayoutItem* DlgItem(uint32_t id) override;
    void RedrawWindow() override;

private:
    class WidgetItem;
    QWidget* m_pWnd;
    // Wrappers live as long as this object, since the layout may hold them;
    // the map points at the newest wrapper of each widget address.
    std::vector<std::unique_ptr<WidgetItem>> m_items;
    std::map<const QWidget*, WidgetItem*> m_mapItems;
};
