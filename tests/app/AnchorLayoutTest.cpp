#include "app/AnchorLayout.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <ostream>

static std::ostream& operator<<(std::ostream& os, const LayoutRect& r) {
    return os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

// A control that records what the layout did to it.
struct FakeItem : LayoutItem {
    bool alive = true, visible = false;
    LayoutRect rect;
    int moves = 0, invalidates = 0;
    bool IsWindow() const override { return alive; }
    void Show(bool show) override { visible = show; }
    void Move(const LayoutRect& r) override { rect = r, ++moves; }
    void Invalidate() override { ++invalidates; }
};

// A parent of settable client size whose items come into being when looked up.
struct FakeParent : LayoutParent {
    int width = 800, height = 600;
    std::map<uint32_t, FakeItem> items;
    mutable int clientRectCalls = 0;
    int redraws = 0;
    FakeItem& operator[](uint32_t id) { return items[id]; }
    LayoutRect ClientRect() const override { return ++clientRectCalls, LayoutRect{0, 0, width, height}; }
    LayoutRect ClientToScreen(const LayoutRect& r) const override { return r; }
    LayoutItem* DlgItem(uint32_t id) override { return &items[id]; }
    void RedrawWindow() override { ++redraws; }
};

enum : uint32_t { AUDIO = 1007, VOLUME = 1006, STOP = 1008, PREV = 1009, PLAY = 1010, NEXT = 1011,
                  OPEN = 1000, SHARE = 1001, PROGRESS = 1005 };

// The main window's bottom controls: size, then two anchors (edge, reference
// edge, offset, reference id) in the order it adds them.
struct Registration {
    uint32_t id;
    int width, height;
    struct { int edge, refEdge, offset; uint32_t refId; } anchors[2];
};
const Registration kMainWindow[] = {
    {AUDIO, 31, 22, {{EDGE_BOTTOM, EDGE_BOTTOM, -15, 0}, {EDGE_LEFT, EDGE_LEFT, 18, 0}}},
    {VOLUME, 200, 30, {{EDGE_BOTTOM, EDGE_BOTTOM, -10, 0}, {EDGE_LEFT, EDGE_LEFT, 58, 0}}},
    {STOP, 148, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_RIGHT, EDGE_RIGHT, 190, VOLUME}}},
    {PREV, 110, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, STOP}}},
    {PLAY, 72, 69, {{EDGE_BOTTOM, EDGE_BOTTOM, 4, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, PREV}}},
    {NEXT, 110, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, PLAY}}},
    {OPEN, 148, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, NEXT}}},
    {SHARE, 34, 32, {{EDGE_BOTTOM, EDGE_BOTTOM, -20, 0}, {EDGE_LEFT, EDGE_RIGHT, 60, OPEN}}},
    {PROGRESS, 200, 20, {{EDGE_LEFT, EDGE_RIGHT, 10, SHARE}, {EDGE_BOTTOM, EDGE_BOTTOM, 20, SHARE}}},
};

// volumeLeft replaces the volume slider's offset from the client's left edge;
// hiddenId registers that control hidden.
void RegisterMainWindow(CAnchorLayout& layout, int volumeLeft = 58, uint32_t hiddenId = 0) {
    for (const Registration& r : kMainWindow) {
        layout.AddControl(r.id, r.height, r.width, r.id == hiddenId);
        for (const auto& a : r.anchors)
            layout.AddAnchor(r.id, a.edge, a.refEdge, r.id == VOLUME && a.edge == EDGE_LEFT ? volumeLeft : a.offset,
                             a.refId);
    }
}

} // namespace

// The 31 x 22 audio button keeps its corner at every size; the chain from the
// stop button on moves as a whole with the volume slider; Apply(false) moves
// without repainting, Apply(true) repaints each control and then the window.
TEST(AnchorLayout, MainWindowControlsAtSeveralSizesEachRectComputedOnce) {
    FakeParent near, far;
    CAnchorLayout nearLayout(&near), farLayout(&far);
    RegisterMainWindow(nearLayout, 58);
    RegisterMainWindow(farLayout, 158);
    int applies = 0, redraws = 0;
    for (auto [w, h] : {std::pair{800, 600}, {1920, 1080}, {320, 200}, {40, 30}}) {
        near.width = far.width = w;
        near.height = far.height = h;
        const bool redraw = ++applies % 2 == 0;
        redraws += redraw;
        nearLayout.Apply(redraw);
        farLayout.Apply(false);
        EXPECT_EQ(near[AUDIO].rect, (LayoutRect{18, h - 37, 49, h - 15})) << w << "x" << h;
        EXPECT_EQ(far[AUDIO].rect, near[AUDIO].rect);
        EXPECT_EQ(near[PROGRESS].rect, (LayoutRect{1072, h - 20, 1272, h}));
        for (uint32_t id : {VOLUME, STOP, PREV, PLAY, NEXT, OPEN, SHARE, PROGRESS}) {
            const LayoutRect r = near[id].rect;
            EXPECT_EQ(far[id].rect, (LayoutRect{r.left + 100, r.top, r.right + 100, r.bottom})) << id;
        }
        // Ten parent anchors: references to other controls reuse their rectangle.
        EXPECT_EQ(near.clientRectCalls, 10 * applies);
        EXPECT_EQ(near.redraws, redraws);
        for (const auto& [id, item] : near.items)
            EXPECT_EQ(std::pair(item.moves, item.invalidates), std::pair(applies, redraws)) << id;
    }
}

TEST(AnchorLayout, HiddenControlCollapsesAtItsAnchorsAndOthersStillFollowIt) {
    FakeParent parent;
    CAnchorLayout layout(&parent);
    layout.Apply(true);
    EXPECT_EQ(parent.redraws, 1) << "nothing registered: only the window is redrawn";
    EXPECT_TRUE(parent.items.empty()) << "looked up a control nobody registered";
    RegisterMainWindow(layout, 58, SHARE);
    parent[SHARE].visible = true;
    layout.Apply(true);
    EXPECT_EQ(parent[SHARE].rect, (LayoutRect{968, 600, 968, 600}));   // offsets ignored
    EXPECT_FALSE(parent[SHARE].visible);
    EXPECT_EQ(parent[PROGRESS].rect, (LayoutRect{978, 600, 1178, 620}));
    EXPECT_TRUE(parent[PROGRESS].visible);
}

// Two anchors on one edge to the same parent edge: a positive pair keeps the
// larger coordinate, a negative pair the smaller, whatever their order; zero
// counts as positive.
TEST(AnchorLayout, AnchorsOfOneEdgeCombineOutwardBySignOnEveryEdge) {
    const struct { int first, second, shift; } cases[] = {{10, 20, 20}, {20, 10, 20}, {-10, -20, -20},
                                                          {-20, -10, -20}, {0, -5, -5}, {-5, 0, 0}};
    for (int edge : {EDGE_TOP, EDGE_LEFT, EDGE_BOTTOM, EDGE_RIGHT}) {
        const auto coordinate = [edge](const LayoutRect& r) {
            return edge == EDGE_TOP ? r.top : edge == EDGE_LEFT ? r.left : edge == EDGE_BOTTOM ? r.bottom : r.right;
        };
        const int other = edge == EDGE_TOP || edge == EDGE_BOTTOM ? EDGE_LEFT : EDGE_TOP;
        FakeParent parent;
        CAnchorLayout layout(&parent);
        for (uint32_t id = 1; id <= std::size(cases); ++id) {
            layout.AddControl(id, 8, 8);
            layout.AddAnchor(id, edge, edge, cases[id - 1].first);
            layout.AddAnchor(id, edge, edge, cases[id - 1].second);
            layout.AddAnchor(id, other, other, 1);
        }
        layout.Apply(false);
        for (uint32_t id = 1; id <= std::size(cases); ++id)
            EXPECT_EQ(coordinate(parent[id].rect), coordinate({0, 0, 800, 600}) + cases[id - 1].shift)
                << "edge " << edge << ", offsets " << cases[id - 1].first << ", " << cases[id - 1].second;
    }
}
