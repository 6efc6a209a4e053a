#include "app/AnchorLayout.h"

#include "platform/Trace.h"

#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <algorithm>

CAnchorLayout::CAnchorLayout(LayoutParent* pParent) : m_pParent(pParent) {}

void CAnchorLayout::AddControl(uint32_t id, int height, int width, bool hidden, LayoutItem* pWindow,
                               bool clientCoords) {
    ControlLayout& control = m_mapControls[id];
    control.nHeight = height;
    control.nWidth = width;
    control.bHidden = hidden;
    control.pWindow = pWindow;
    control.bClientCoords = clientCoords;
}

void CAnchorLayout::AddAnchor(uint32_t id, int edge, int refEdge, int offset, uint32_t refId) {
    // An out-of-range reference edge would give no coordinate at all, so it
    // is refused here rather than resolved to something arbitrary later.
    if (edge < 0 || edge >= ANCHOR_EDGE_COUNT || refEdge < 0 || refEdge >= ANCHOR_EDGE_COUNT) {
        DebugTrace("CAnchorLayout: anchor of control %u with edge %d to edge %d ignored\r\n", id, edge, refEdge);
        return;
    }
    Anchor anchor;
    anchor.bToParent = refId == ANCHOR_PARENT_ID;
    anchor.nOffset = offset;
    anchor.nRefId = refId;
    anchor.nRefEdge = refEdge;
    m_mapControls[id].anchors[edge].push_back(anchor);
}

void CAnchorLayout::Apply(bool redraw) {
    m_mapComputed.clear();
    // One rectangle travels through the loop: an axis without any anchor
    // keeps what the previous control left in it.
    LayoutRect rect;
    for (const auto& [id, control] : m_mapControls) {
        ComputeRect(id, rect);
        LayoutRect placed = control.bClientCoords ? rect : m_pParent->ClientToScreen(rect);
        MoveControl(id, placed, control.bHidden, control.pWindow, redraw);
    }
    if (redraw)
        m_pParent->RedrawWindow();
}

bool CAnchorLayout::ComputeRect(uint32_t id, LayoutRect& rect) {
    if (auto done = m_mapComputed.find(id); done != m_mapComputed.end()) {
        rect = done->second;
        return true;
    }
    auto found = m_mapControls.find(id);
    if (found == m_mapControls.end())
        return false;
    if (!m_setComputing.insert(id).second) {
        DebugTrace("CAnchorLayout: anchors of control %u form a cycle\r\n", id);
        return false;
    }
    const ControlLayout& control = found->second;

    int32_t* edges[ANCHOR_EDGE_COUNT];
    edges[EDGE_TOP] = &rect.top;
    edges[EDGE_LEFT] = &rect.left;
    edges[EDGE_BOTTOM] = &rect.bottom;
    edges[EDGE_RIGHT] = &rect.right;
    for (int edge : {EDGE_TOP, EDGE_BOTTOM, EDGE_LEFT, EDGE_RIGHT}) {
        bool first = true;
        for (const Anchor& anchor : control.anchors[edge]) {
            int v = ResolveAnchor(anchor, control.bHidden);
            int32_t& value = *edges[edge];
            if (first)
                value = v;
            else if (anchor.nOffset >= 0)
                value = std::max(value, v);
            else
                value = std::min(value, v);
            first = false;
        }
    }

    // A hidden control collapses onto its anchored edges.
    const int height = control.bHidden ? 0 : control.nHeight;
    const int width = control.bHidden ? 0 : control.nWidth;
    if (control.anchors[EDGE_TOP].empty())
        rect.top = rect.bottom - height;
    if (control.anchors[EDGE_BOTTOM].empty())
        rect.bottom = rect.top + height;
    if (control.anchors[EDGE_LEFT].empty())
        rect.left = rect.right - width;
    if (control.anchors[EDGE_RIGHT].empty())
        rect.right = rect.left + width;

    m_setComputing.erase(id);
    m_mapComputed[id] = rect;
    return true;
}

int CAnchorLayout::ResolveAnchor(const Anchor& anchor, bool hidden) {
    LayoutRect r;
    if (anchor.bToParent)
        r = m_pParent->ClientRect();
    else
        ComputeRect(anchor.nRefId, r);
    const int margin = hidden ? 0 : anchor.nOffset;
    switch (anchor.nRefEdge) {
    case EDGE_TOP: return r.top + margin;
    case EDGE_LEFT: return r.left + margin;
    case EDGE_BOTTOM: return r.bottom + margin;
    default: return r.right + margin;
    }
}

void CAnchorLayout::MoveControl(uint32_t id, const LayoutRect& rect, bool hidden, LayoutItem* pWindow,
                                bool repaint) {
    if (!pWindow)
        pWindow = m_pParent->DlgItem(id);
    if (!pWindow || !pWindow->IsWindow())
        return;
    pWindow->Show(!hidden);
    pWindow->Move(rect);
    if (repaint)
        pWindow->Invalidate();
}

// ---- Qt binding ----

namespace {
// Dynamic property that carries a child widget's control id.
constexpr const char* CONTROL_ID_PROPERTY = "sivoControlId";
} // namespace

void SetControlId(QWidget* pWidget, uint32_t id) {
    if (pWidget)
        pWidget->setProperty(CONTROL_ID_PROPERTY, QVariant::fromValue(id));
}

class CQtLayoutParent::WidgetItem : public LayoutItem {
public:
    explicit WidgetItem(QWidget* pWidget) : m_pWidget(pWidget) {}
    bool Holds(const QWidget* pWidget) const { return m_pWidget == pWidget; }

    bool IsWindow() const override { return !m_pWidget.isNull(); }
    void Show(bool show) override {
        if (m_pWidget)
            m_pWidget->setVisible(show);
    }
    void Move(const LayoutRect& rect) override {
        if (m_pWidget)
            m_pWidget->setGeometry(rect.left, rect.top, std::max(0, rect.right - rect.left),
                                   std::max(0, rect.bottom - rect.top));
    }
    void Invalidate() override {
        if (m_pWidget)
            m_pWidget->update();
    }

private:
    // Goes null when the widget is destroyed.
    QPointer<QWidget> m_pWidget;
};

CQtLayoutParent::CQtLayoutParent(QWidget* pWnd) : m_pWnd(pWnd) {}

CQtLayoutParent::~CQtLayoutParent() = default;

LayoutItem* CQtLayoutParent::Item(QWidget* pWidget) {
    if (!pWidget)
        return nullptr;
    WidgetItem*& slot = m_mapItems[pWidget];
    // A wrapper whose widget died may sit under an address a new widget now uses.
    if (!slot || !slot->Holds(pWidget)) {
        m_items.push_back(std::make_unique<WidgetItem>(pWidget));
        slot = m_items.back().get();
    }
    return slot;
}

LayoutRect CQtLayoutParent::ClientRect() const {
    return LayoutRect{0, 0, m_pWnd->width(), m_pWnd->height()};
}

LayoutRect CQtLayoutParent::ClientToScreen(const LayoutRect& rect) const {
    const QPoint origin = m_pWnd->mapToGlobal(QPoint(0, 0));
    return LayoutRect{rect.left + origin.x(), rect.top + origin.y(), rect.right + origin.x(),
                      rect.bottom + origin.y()};
}

LayoutItem* CQtLayoutParent::DlgItem(uint32_t id) {
    for (QWidget* child : m_pWnd->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant tag = child->property(CONTROL_ID_PROPERTY);
        if (tag.isValid() && tag.value<uint32_t>() == id)
            return Item(child);
    }
    return nullptr;
}

void CQtLayoutParent::RedrawWindow() {
    m_pWnd->repaint();
}
