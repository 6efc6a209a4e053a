#include "app/AnchorLayout.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include <map>
#include <memory>
#include <iterator>
#include <ostream>

static std::ostream& operator<<(std::ostream& os, const LayoutRect& r) {
    return os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

// A control that records what the layout did to it.
struct FakeItem : LayoutItem {
    bool alive = true;
    bool visible = false;
    LayoutRect rect;
    int moves = 0;
    int shows = 0;
    int invalidates = 0;

    bool IsWindow() const override { return alive; }
    void Show(bool show) override {
        visible = show;
        ++shows;
    }
    void Move(const LayoutRect& r) override {
        rect = r;
        ++moves;
    }
    void Invalidate() override { ++invalidates; }
};

// A parent window with a settable client size and items by id.
struct FakeParent : LayoutParent {
    int width = 800;
    int height = 600;
    int screenX = 0;
    int screenY = 0;
    std::map<uint32_t, std::unique_ptr<FakeItem>> items;
    mutable int clientRectCalls = 0;
    int lookups = 0;
    int redraws = 0;

    FakeItem& Add(uint32_t id) { return *(items[id] = std::make_unique<FakeItem>()); }
    FakeItem& operator[](uint32_t id) { return *items.at(id); }

    LayoutRect ClientRect() const override {
        ++clientRectCalls;
        return {0, 0, width, height};
    }
    LayoutRect ClientToScreen(const LayoutRect& r) const override {
        return {r.left + screenX, r.top + screenY, r.right + screenX, r.bottom + screenY};
    }
    LayoutItem* DlgItem(uint32_t id) override {
        ++lookups;
        auto it = items.find(id);
        return it == items.end() ? nullptr : it->second.get();
    }
    void RedrawWindow() override { ++redraws; }
};

// The ids and registrations of the main window's nine bottom controls.
enum : uint32_t {
    ID_OPEN = 1000, ID_SHARE = 1001, ID_PROGRESS = 1005, ID_VOLUME = 1006, ID_AUDIO = 1007,
    ID_STOP = 1008, ID_PREV = 1009, ID_PLAY = 1010, ID_NEXT = 1011,
};

struct Registration {
    uint32_t id;
    int width, height;
    struct { int edge, refEdge, offset; uint32_t refId; } anchors[2];
};

// The main window's table: size, then its two anchors in the order it adds them.
const Registration kMainWindow[] = {
    {ID_AUDIO, 31, 22, {{EDGE_BOTTOM, EDGE_BOTTOM, -15, 0}, {EDGE_LEFT, EDGE_LEFT, 18, 0}}},
    {ID_VOLUME, 200, 30, {{EDGE_BOTTOM, EDGE_BOTTOM, -10, 0}, {EDGE_LEFT, EDGE_LEFT, 58, 0}}},
    {ID_STOP, 148, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_RIGHT, EDGE_RIGHT, 190, ID_VOLUME}}},
    {ID_PREV, 110, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, ID_STOP}}},
    {ID_PLAY, 72, 69, {{EDGE_BOTTOM, EDGE_BOTTOM, 4, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, ID_PREV}}},
    {ID_NEXT, 110, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, ID_PLAY}}},
    {ID_OPEN, 148, 59, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, 0}, {EDGE_LEFT, EDGE_RIGHT, 20, ID_NEXT}}},
    {ID_SHARE, 34, 32, {{EDGE_BOTTOM, EDGE_BOTTOM, -20, 0}, {EDGE_LEFT, EDGE_RIGHT, 60, ID_OPEN}}},
    {ID_PROGRESS, 200, 20, {{EDGE_LEFT, EDGE_RIGHT, 10, ID_SHARE}, {EDGE_BOTTOM, EDGE_BOTTOM, 20, ID_SHARE}}},
};

// volumeLeft replaces the volume slider's offset from the client's left edge.
void RegisterMainWindowControls(CAnchorLayout& layout, int volumeLeft = 58) {
    for (const Registration& r : kMainWindow) {
        layout.AddControl(r.id, r.height, r.width);
        for (const auto& a : r.anchors) {
            const bool volumeLeftEdge = r.id == ID_VOLUME && a.edge == EDGE_LEFT;
            layout.AddAnchor(r.id, a.edge, a.refEdge, volumeLeftEdge ? volumeLeft : a.offset, a.refId);
        }
    }
}

// A parent holding the nine controls, laid out by the main window's table.
class MainWindowLayout : public ::testing::Test {
protected:
    MainWindowLayout() {
        for (const Registration& r : kMainWindow)
            parent.Add(r.id);
        RegisterMainWindowControls(layout);
    }
    FakeParent parent;
    CAnchorLayout layout{&parent};
};

// Registers `id` with both axes anchored to the parent (bottom - 15, left + 18).
void AddAudioButton(CAnchorLayout& layout, uint32_t id, bool hidden = false) {
    layout.AddControl(id, 22, 31, hidden);
    layout.AddAnchor(id, EDGE_BOTTOM, EDGE_BOTTOM, -15);
    layout.AddAnchor(id, EDGE_LEFT, EDGE_LEFT, 18);
}

} // namespace

// ---- Placement ----

TEST(AnchorLayout, ParentAnchoredButtonKeepsItsCornerAtEverySize) {
    FakeParent parent;
    FakeItem& button = parent.Add(ID_AUDIO);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, ID_AUDIO);
    for (auto [w, h] : {std::pair{800, 600}, {1920, 1080}, {320, 200}, {40, 30}}) {
        parent.width = w;
        parent.height = h;
        layout.Apply(true);
        EXPECT_EQ(button.rect, (LayoutRect{18, h - 15 - 22, 49, h - 15})) << w << "x" << h;
        EXPECT_TRUE(button.visible);
    }
}

TEST_F(MainWindowLayout, MainWindowChainSitsAtItsOffsets) {
    for (int h : {600, 1080}) {
        parent.height = h;
        layout.Apply(true);
        EXPECT_EQ(parent[ID_AUDIO].rect, (LayoutRect{18, h - 37, 49, h - 15}));
        EXPECT_EQ(parent[ID_VOLUME].rect, (LayoutRect{58, h - 40, 258, h - 10}));
        EXPECT_EQ(parent[ID_STOP].rect, (LayoutRect{300, h - 59, 448, h}));
        EXPECT_EQ(parent[ID_PREV].rect, (LayoutRect{468, h - 59, 578, h}));
        EXPECT_EQ(parent[ID_PLAY].rect, (LayoutRect{598, h - 65, 670, h + 4}));
        EXPECT_EQ(parent[ID_NEXT].rect, (LayoutRect{690, h - 59, 800, h}));
        EXPECT_EQ(parent[ID_OPEN].rect, (LayoutRect{820, h - 59, 968, h}));
        EXPECT_EQ(parent[ID_SHARE].rect, (LayoutRect{1028, h - 52, 1062, h - 20}));
        EXPECT_EQ(parent[ID_PROGRESS].rect, (LayoutRect{1072, h - 20, 1272, h}));
    }
}

TEST(AnchorLayout, ChainMovesAsAWholeWithTheVolumeSlider) {
    FakeParent near, far;
    for (const Registration& r : kMainWindow) {
        near.Add(r.id);
        far.Add(r.id);
    }
    CAnchorLayout nearLayout(&near), farLayout(&far);
    RegisterMainWindowControls(nearLayout, 58);
    RegisterMainWindowControls(farLayout, 158);
    far.height = near.height = 700;
    nearLayout.Apply(false);
    farLayout.Apply(false);
    for (uint32_t id : {ID_VOLUME, ID_STOP, ID_PREV, ID_PLAY, ID_NEXT, ID_OPEN, ID_SHARE, ID_PROGRESS}) {
        const LayoutRect a = near[id].rect, b = far[id].rect;
        EXPECT_EQ(b, (LayoutRect{a.left + 100, a.top, a.right + 100, a.bottom})) << id;
    }
    EXPECT_EQ(far[ID_AUDIO].rect, near[ID_AUDIO].rect);
}

TEST_F(MainWindowLayout, EachRectangleIsComputedOncePerApply) {
    layout.Apply(false);
    // Ten parent anchors among the nine controls; references to other
    // controls reuse their computed rectangle instead of resolving again.
    EXPECT_EQ(parent.clientRectCalls, 10);
    for (const auto& [id, item] : parent.items)
        EXPECT_EQ(parent[id].moves, 1) << id;

    // The next Apply starts afresh and sees the new client size.
    parent.height = 900;
    layout.Apply(false);
    EXPECT_EQ(parent.clientRectCalls, 20);
    EXPECT_EQ(parent[ID_PROGRESS].rect.bottom, 900);
}

TEST(AnchorLayout, ControlMayReferToALargerId) {
    FakeParent parent;
    parent.Add(5);
    parent.Add(9);
    CAnchorLayout layout(&parent);
    layout.AddControl(5, 10, 10);
    layout.AddAnchor(5, EDGE_TOP, EDGE_BOTTOM, 3, 9);
    layout.AddAnchor(5, EDGE_LEFT, EDGE_LEFT, 0, 9);
    AddAudioButton(layout, 9);
    layout.Apply(false);
    const LayoutRect nine = parent[9].rect;
    EXPECT_EQ(parent[5].rect, (LayoutRect{nine.left, nine.bottom + 3, nine.left + 10, nine.bottom + 13}));
}

TEST(AnchorLayout, HiddenControlCollapsesAtItsAnchorsAndIsHidden) {
    FakeParent parent;
    FakeItem& hidden = parent.Add(1);
    FakeItem& follower = parent.Add(2);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1, true);
    layout.AddControl(2, 10, 20);
    layout.AddAnchor(2, EDGE_LEFT, EDGE_RIGHT, 5, 1);
    layout.AddAnchor(2, EDGE_TOP, EDGE_TOP, 0, 1);
    hidden.visible = true;
    layout.Apply(true);
    // Offsets are ignored, so the collapsed control sits on the client corner.
    EXPECT_EQ(hidden.rect, (LayoutRect{0, 600, 0, 600}));
    EXPECT_FALSE(hidden.visible);
    EXPECT_EQ(hidden.moves, 1);
    // Others anchor to the collapsed rectangle and keep their own offsets.
    EXPECT_EQ(follower.rect, (LayoutRect{5, 600, 25, 610}));
    EXPECT_TRUE(follower.visible);
}

// Two anchors on one edge, both to the same parent edge: a positive pair
// keeps the larger coordinate, a negative pair the smaller, whatever the order.
class AnchorPairs : public ::testing::TestWithParam<int> {};

TEST_P(AnchorPairs, CombineOutwardBySignOnEveryEdge) {
    const int edge = GetParam();
    const bool vertical = edge == EDGE_TOP || edge == EDGE_BOTTOM;
    auto coordinate = [&](const LayoutRect& r) {
        switch (edge) {
        case EDGE_TOP: return r.top;
        case EDGE_LEFT: return r.left;
        case EDGE_BOTTOM: return r.bottom;
        default: return r.right;
        }
    };
    FakeParent parent;
    parent.width = 400;
    parent.height = 300;
    const LayoutRect client{0, 0, 400, 300};
    const int base = coordinate(client);
    struct Case { int first, second, expected; };
    const Case cases[] = {
        {10, 20, base + 20}, {20, 10, base + 20},
        {-10, -20, base - 20}, {-20, -10, base - 20},
        {0, -5, base - 5}, {-5, 0, base},  // zero counts as positive
    };
    for (uint32_t id = 1; id <= std::size(cases); ++id)
        parent.Add(id);
    CAnchorLayout layout(&parent);
    uint32_t id = 1;
    for (const Case& c : cases) {
        layout.AddControl(id, 8, 8);
        layout.AddAnchor(id, edge, edge, c.first);
        layout.AddAnchor(id, edge, edge, c.second);
        // One anchor on the other axis so the control is fully placed.
        layout.AddAnchor(id, vertical ? EDGE_LEFT : EDGE_TOP, vertical ? EDGE_LEFT : EDGE_TOP, 1);
        ++id;
    }
    layout.Apply(false);
    id = 1;
    for (const Case& c : cases) {
        EXPECT_EQ(coordinate(parent[id].rect), c.expected) << "offsets " << c.first << ", " << c.second;
        ++id;
    }
}

INSTANTIATE_TEST_SUITE_P(AllEdges, AnchorPairs, ::testing::Values(EDGE_TOP, EDGE_LEFT, EDGE_BOTTOM, EDGE_RIGHT));

TEST(AnchorLayout, BothEdgesAnchoredStretchTheControl) {
    FakeParent parent;
    FakeItem& item = parent.Add(3);
    CAnchorLayout layout(&parent);
    layout.AddControl(3, 10, 10);
    layout.AddAnchor(3, EDGE_LEFT, EDGE_LEFT, 4);
    layout.AddAnchor(3, EDGE_RIGHT, EDGE_RIGHT, -4);
    layout.AddAnchor(3, EDGE_TOP, EDGE_TOP, 0);
    layout.AddAnchor(3, EDGE_BOTTOM, EDGE_BOTTOM, 0);
    layout.Apply(false);
    EXPECT_EQ(item.rect, (LayoutRect{4, 0, 796, 600}));
}

// ---- Apply and the repaint flag ----

TEST_F(MainWindowLayout, ApplyWithoutRedrawMovesButRepaintsNothingMore) {
    layout.Apply(false);
    for (const auto& [id, item] : parent.items) {
        EXPECT_EQ(parent[id].moves, 1) << id;
        EXPECT_EQ(parent[id].shows, 1) << id;
        EXPECT_EQ(parent[id].invalidates, 0) << id;
    }
    EXPECT_EQ(parent.redraws, 0);

    layout.Apply(true);
    for (const auto& [id, item] : parent.items) {
        EXPECT_EQ(parent[id].moves, 2) << id;
        EXPECT_EQ(parent[id].invalidates, 1) << id;
    }
    EXPECT_EQ(parent.redraws, 1);
}

TEST(AnchorLayout, ApplyWithNoRegistrationsOnlyRedrawsTheParent) {
    FakeParent parent;
    parent.Add(1);
    CAnchorLayout layout(&parent);
    layout.Apply(false);
    EXPECT_EQ(parent.redraws, 0);
    layout.Apply(true);
    EXPECT_EQ(parent.redraws, 1);
    EXPECT_EQ(parent.lookups, 0);
    EXPECT_EQ(parent[1].moves, 0);
}

TEST(AnchorLayout, PopupRectanglesAreConvertedToScreenCoordinates) {
    FakeParent parent;
    parent.screenX = 100;
    parent.screenY = 50;
    FakeItem& child = parent.Add(1);
    FakeItem& popup = parent.Add(2);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1);
    layout.AddControl(2, 22, 31, false, nullptr, false);
    layout.AddAnchor(2, EDGE_BOTTOM, EDGE_BOTTOM, -15);
    layout.AddAnchor(2, EDGE_LEFT, EDGE_LEFT, 18);
    layout.Apply(false);
    EXPECT_EQ(child.rect, (LayoutRect{18, 563, 49, 585}));
    EXPECT_EQ(popup.rect, (LayoutRect{118, 613, 149, 635}));
}

TEST(AnchorLayout, GivenWindowIsUsedInsteadOfTheLookup) {
    FakeParent parent;
    FakeItem& byId = parent.Add(1);
    FakeItem own;
    CAnchorLayout layout(&parent);
    layout.AddControl(1, 22, 31, false, &own);
    layout.AddAnchor(1, EDGE_BOTTOM, EDGE_BOTTOM, -15);
    layout.AddAnchor(1, EDGE_LEFT, EDGE_LEFT, 18);
    layout.Apply(true);
    EXPECT_EQ(own.moves, 1);
    EXPECT_EQ(own.invalidates, 1);
    EXPECT_EQ(byId.moves, 0);
    EXPECT_EQ(parent.lookups, 0);
}

// ---- Bad registrations ----

TEST(AnchorLayout, MissingOrDestroyedControlIsSkippedButStillAReference) {
    FakeParent parent;
    FakeItem& gone = parent.Add(1);
    gone.alive = false;
    FakeItem& follower = parent.Add(3);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1);
    AddAudioButton(layout, 2);    // registered, no item at all
    layout.AddControl(3, 5, 5);
    layout.AddAnchor(3, EDGE_LEFT, EDGE_RIGHT, 1, 1);
    layout.AddAnchor(3, EDGE_TOP, EDGE_TOP, 0, 2);
    layout.Apply(true);
    EXPECT_EQ(gone.moves, 0);
    EXPECT_EQ(gone.shows, 0);
    EXPECT_EQ(gone.invalidates, 0);
    EXPECT_EQ(follower.rect, (LayoutRect{50, 563, 55, 568}));
}

TEST(AnchorLayout, UnregisteredReferenceYieldsJustTheOffset) {
    FakeParent parent;
    FakeItem& item = parent.Add(1);
    CAnchorLayout layout(&parent);
    layout.AddControl(1, 10, 20);
    layout.AddAnchor(1, EDGE_LEFT, EDGE_RIGHT, 7, 42);
    layout.AddAnchor(1, EDGE_TOP, EDGE_BOTTOM, 9, 42);
    layout.Apply(false);
    EXPECT_EQ(item.rect, (LayoutRect{7, 9, 27, 19}));

    LayoutRect untouched{1, 2, 3, 4};
    EXPECT_FALSE(layout.ComputeRect(42, untouched));
    EXPECT_EQ(untouched, (LayoutRect{1, 2, 3, 4}));
}

TEST(AnchorLayout, OutOfRangeEdgesAddNothing) {
    FakeParent parent;
    FakeItem& item = parent.Add(1);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1);
    layout.AddAnchor(1, 4, EDGE_TOP, 500);
    layout.AddAnchor(1, -1, EDGE_TOP, 500);
    layout.AddAnchor(1, EDGE_LEFT, 7, 500);   // a reference edge that does not exist
    layout.Apply(false);
    EXPECT_EQ(item.rect, (LayoutRect{18, 563, 49, 585}));
}

TEST(AnchorLayout, ReRegistrationKeepsAnchorsAndTakesTheNewSize) {
    FakeParent parent;
    FakeItem& item = parent.Add(1);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1);
    layout.AddControl(1, 40, 60);
    layout.Apply(false);
    EXPECT_EQ(item.rect, (LayoutRect{18, 545, 78, 585}));
    // Anchors named before the registration create the record too.
    layout.AddAnchor(2, EDGE_LEFT, EDGE_LEFT, 3);
    layout.AddAnchor(2, EDGE_TOP, EDGE_TOP, 4);
    layout.AddControl(2, 10, 10);
    FakeItem& second = parent.Add(2);
    layout.Apply(false);
    EXPECT_EQ(second.rect, (LayoutRect{3, 4, 13, 14}));
}

TEST(AnchorLayout, ReferenceCycleEndsInsteadOfRecursingForever) {
    FakeParent parent;
    parent.Add(1);
    parent.Add(2);
    CAnchorLayout layout(&parent);
    layout.AddControl(1, 10, 10);
    layout.AddAnchor(1, EDGE_LEFT, EDGE_RIGHT, 1, 2);
    layout.AddAnchor(1, EDGE_TOP, EDGE_TOP, 0);
    layout.AddControl(2, 10, 10);
    layout.AddAnchor(2, EDGE_LEFT, EDGE_RIGHT, 1, 1);
    layout.AddAnchor(2, EDGE_TOP, EDGE_TOP, 0);
    layout.Apply(true);
    EXPECT_EQ(parent[1].moves, 1);
    EXPECT_EQ(parent[2].moves, 1);
}

// ---- The Qt binding, with real widgets ----

TEST(QtAnchorLayout, PlacesTaggedChildrenOfARealWidget) {
    QWidget window;
    window.resize(640, 480);
    auto* audio = new QWidget(&window);
    auto* popupLike = new QWidget(&window);
    SetControlId(audio, ID_AUDIO);
    SetControlId(popupLike, 77);
    CQtLayoutParent parent(&window);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, ID_AUDIO);
    AddAudioButton(layout, 77, true);
    layout.Apply(true);
    EXPECT_EQ(audio->geometry(), QRect(18, 480 - 37, 31, 22));
    EXPECT_FALSE(audio->isHidden());
    EXPECT_TRUE(popupLike->isHidden());
    EXPECT_EQ(popupLike->geometry().size(), QSize(0, 0));

    window.resize(1000, 300);
    layout.Apply(false);
    EXPECT_EQ(audio->geometry(), QRect(18, 300 - 37, 31, 22));
}

TEST(QtAnchorLayout, DestroyedWidgetIsSkipped) {
    QWidget window;
    window.resize(300, 200);
    auto* kept = new QWidget(&window);
    auto* doomed = new QWidget(&window);
    CQtLayoutParent parent(&window);
    CAnchorLayout layout(&parent);
    AddAudioButton(layout, 1);
    layout.AddControl(1, 22, 31, false, parent.Item(doomed));
    layout.AddControl(2, 10, 10, false, parent.Item(kept));
    layout.AddAnchor(2, EDGE_LEFT, EDGE_RIGHT, 2, 1);
    layout.AddAnchor(2, EDGE_TOP, EDGE_TOP, 0, 1);
    delete doomed;
    layout.Apply(true);
    EXPECT_EQ(kept->geometry(), QRect(51, 200 - 37, 10, 10));
    // Lookup by id finds nothing for an untagged or unknown id.
    EXPECT_EQ(parent.DlgItem(1), nullptr);
}

TEST(QtAnchorLayout, ClientAreaAndScreenMappingFollowTheWidget) {
    QWidget window;
    window.setGeometry(40, 30, 320, 240);
    CQtLayoutParent parent(&window);
    EXPECT_EQ(parent.ClientRect(), (LayoutRect{0, 0, 320, 240}));
    const QPoint origin = window.mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(parent.ClientToScreen({1, 2, 3, 4}),
              (LayoutRect{1 + origin.x(), 2 + origin.y(), 3 + origin.x(), 4 + origin.y()}));
}
