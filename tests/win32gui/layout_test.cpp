// The layout engine of the Win32 backend: how room is shared, and the exact rectangles of
// small box, grid, form and group layouts.
#include "gui/win32/layout.h"

#include <gtest/gtest.h>

#include <ostream>

namespace vbc::platform::win32 {

void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "}";
}

namespace {

struct DistributeCase {
    const char* what;
    std::vector<Share> items;
    int available;
    std::vector<int> expected;
};

TEST(LayoutEngine, DistributesRoomAlongOneDirection) {
    const DistributeCase cases[] = {
        {"shrinks in proportion to what each can give",
         {{10, 30, Grow::Preferred, 0}, {20, 20, Grow::Preferred, 0}, {0, 40, Grow::Expanding, 0}},
         60,
         {20, 20, 20}},
        {"never below the minimum",
         {{10, 30, Grow::Preferred, 0}, {20, 20, Grow::Preferred, 0}, {0, 40, Grow::Expanding, 0}},
         10,
         {10, 20, 0}},
        {"stretch factors take the extra in proportion",
         {{0, 10, Grow::Preferred, 1}, {0, 10, Grow::Expanding, 0}, {0, 10, Grow::Preferred, 3}},
         70,
         {20, 10, 40}},
        {"expanding items before preferred ones; a pixel left over goes to the first",
         {{0, 10, Grow::Preferred, 0}, {0, 10, Grow::Expanding, 0}, {0, 10, Grow::Expanding, 0}},
         51,
         {10, 21, 20}},
        {"preferred items when none expands",
         {{0, 10, Grow::Fixed, 0}, {0, 10, Grow::Preferred, 0}, {0, 10, Grow::Preferred, 0}},
         40,
         {10, 15, 15}},
        {"fixed items keep their size, room is left over",
         {{0, 10, Grow::Fixed, 0}, {0, 10, Grow::Fixed, 0}},
         50,
         {10, 10}},
        {"a fixed item's stretch is ignored",
         {{0, 10, Grow::Fixed, 2}, {0, 10, Grow::Preferred, 0}},
         30,
         {10, 20}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Distribute(c.items, c.available), c.expected) << c.what;
    }
}

LayoutNode Item(Size hint, Grow h, Grow v, Size minimum = {}) {
    LayoutNode n;
    n.hint = hint;
    n.minimum = minimum.width || minimum.height ? minimum : hint;
    n.horizontal = h;
    n.vertical = v;
    return n;
}

LayoutNode Box(LayoutNode::Kind kind, int margin, int spacing, std::vector<LayoutNode> children) {
    LayoutNode n;
    n.kind = kind;
    n.marginLeft = n.marginTop = n.marginRight = n.marginBottom = margin;
    n.spacing = spacing;
    n.children = std::move(children);
    return n;
}

LayoutNode At(LayoutNode n, int row, int column, int columnSpan = 1) {
    n.row = row;
    n.column = column;
    n.columnSpan = columnSpan;
    return n;
}

TEST(LayoutEngine, PlacesABoxLayoutExactly) {
    // Label, field and button on a line; a list that takes the height; a button pushed right
    // by a spacer.
    LayoutNode spacer = Item({40, 0}, Grow::Expanding, Grow::Preferred, {0, 0});
    LayoutNode panel = Box(LayoutNode::Kind::VBox, 10, 5,
                           {Box(LayoutNode::Kind::HBox, 0, 5,
                                {Item({40, 20}, Grow::Preferred, Grow::Preferred),
                                 Item({100, 24}, Grow::Expanding, Grow::Fixed),
                                 Item({75, 26}, Grow::Preferred, Grow::Fixed)}),
                            Item({100, 50}, Grow::Expanding, Grow::Expanding, {20, 20}),
                            Box(LayoutNode::Kind::HBox, 0, 5,
                                {spacer, Item({75, 26}, Grow::Preferred, Grow::Fixed)})});
    EXPECT_EQ(MinimumSize(panel), (Size{20 + 40 + 5 + 100 + 5 + 75, 20 + 26 + 5 + 20 + 5 + 26}));
    EXPECT_EQ(NaturalSize(panel), (Size{20 + 225, 20 + 26 + 5 + 50 + 5 + 26}));
    Arrange(panel, {0, 0, 300, 200});
    const LayoutNode& line = panel.children[0];
    EXPECT_EQ(line.children[0].geometry, (Rect{10, 10, 40, 26}));   // fills the line's height
    EXPECT_EQ(line.children[1].geometry, (Rect{55, 11, 155, 24}));  // takes the width, centred
    EXPECT_EQ(line.children[2].geometry, (Rect{215, 10, 75, 26}));
    EXPECT_EQ(panel.children[1].geometry, (Rect{10, 41, 280, 118}));
    EXPECT_EQ(panel.children[2].children[0].geometry, (Rect{10, 164, 200, 26}));
    EXPECT_EQ(panel.children[2].children[1].geometry, (Rect{215, 164, 75, 26}));
}

TEST(LayoutEngine, PlacesAGridWithSpansAndColumnStretchExactly) {
    LayoutNode grid = Box(LayoutNode::Kind::Grid, 0, 4,
                          {At(Item({30, 20}, Grow::Preferred, Grow::Preferred), 0, 0),
                           At(Item({50, 16}, Grow::Expanding, Grow::Fixed), 0, 1),
                           At(Item({40, 20}, Grow::Preferred, Grow::Fixed), 0, 2),
                           At(Item({60, 20}, Grow::Preferred, Grow::Preferred), 1, 0),
                           At(Item({70, 20}, Grow::Preferred, Grow::Preferred), 1, 1, 2)});
    grid.columnStretch = {0, 1, 0};
    EXPECT_EQ(NaturalSize(grid), (Size{60 + 4 + 50 + 4 + 40, 20 + 4 + 20}));
    Arrange(grid, {0, 0, 200, 60});
    const Rect expected[] = {
        {0, 0, 60, 28}, {64, 6, 92, 16}, {160, 4, 40, 20}, {0, 32, 60, 28}, {64, 32, 136, 28}};
    for (std::size_t i = 0; i < grid.children.size(); ++i) {
        EXPECT_EQ(grid.children[i].geometry, expected[i]) << "item " << i;
    }
    // A spanning item wider than its columns widens the stretched one, not the last.
    grid.children[4].hint.width = 150;
    EXPECT_EQ(NaturalSize(grid).width, 60 + 4 + 106 + 4 + 40);
    Arrange(grid, {0, 0, 214, 44});
    EXPECT_EQ(grid.children[2].geometry, (Rect{174, 0, 40, 20}));
    EXPECT_EQ(grid.children[4].geometry, (Rect{64, 24, 150, 20}));
}

TEST(LayoutEngine, AFormKeepsItsLabelsAtTheirWidthAndItsRowsAtTheirHeight) {
    LayoutNode form = Box(LayoutNode::Kind::Form, 0, 6,
                          {At(Item({40, 16}, Grow::Preferred, Grow::Preferred), 0, 0),
                           At(Item({80, 24}, Grow::Preferred, Grow::Fixed), 0, 1),
                           At(Item({70, 16}, Grow::Preferred, Grow::Preferred), 1, 0),
                           At(Item({60, 24}, Grow::Preferred, Grow::Fixed), 1, 1)});
    EXPECT_EQ(VerticalGrow(form), Grow::Fixed);
    Arrange(form, {0, 0, 200, 100});
    const Rect expected[] = {{0, 4, 40, 16}, {76, 0, 124, 24}, {0, 34, 70, 16}, {76, 30, 124, 24}};
    for (std::size_t i = 0; i < form.children.size(); ++i) {
        EXPECT_EQ(form.children[i].geometry, expected[i]) << "item " << i;
    }
}

TEST(LayoutEngine, AGroupHoldsItsLayoutInsideItsFrame) {
    LayoutNode group = Item({50, 19}, Grow::Preferred, Grow::Preferred);
    group.insetLeft = group.insetRight = group.insetBottom = 2;
    group.insetTop = 15;
    group.children.push_back(
        Box(LayoutNode::Kind::VBox, 9, 6, {Item({75, 23}, Grow::Preferred, Grow::Fixed)}));
    EXPECT_EQ(NaturalSize(group), (Size{2 + 9 + 75 + 9 + 2, 15 + 9 + 23 + 9 + 2}));
    // Grows no more eagerly than what it holds: the fixed-height button keeps it preferred.
    EXPECT_EQ(VerticalGrow(group), Grow::Preferred);
    Arrange(group, {10, 10, 200, 100});
    EXPECT_EQ(group.geometry, (Rect{10, 10, 200, 100}));
    EXPECT_EQ(group.children[0].geometry, (Rect{12, 25, 196, 83}));
    EXPECT_EQ(group.children[0].children[0].geometry, (Rect{21, 34, 178, 23}));
}

TEST(LayoutEngine, AlignedItemsKeepTheirSizeAtTheirSide) {
    LayoutNode top = Item({32, 32}, Grow::Preferred, Grow::Preferred);
    top.alignment = kAlignHCenter | kAlignTop;
    LayoutNode right = Item({20, 10}, Grow::Expanding, Grow::Expanding);
    right.alignment = kAlignRight | kAlignBottom;
    LayoutNode box = Box(LayoutNode::Kind::HBox, 0, 0, {top, right});
    box.stretch = {1, 1};
    Arrange(box, {0, 0, 100, 50});
    EXPECT_EQ(box.children[0].geometry, (Rect{12, 0, 32, 32}));
    EXPECT_EQ(box.children[1].geometry, (Rect{80, 40, 20, 10}));
}

}  // namespace
}  // namespace vbc::platform::win32
