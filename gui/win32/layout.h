// The layout engine of the Win32 backend: places the controls of a panel the way the panel
// resource's box, grid and form layouts describe them, from each control's natural size.
// Plain arithmetic on rectangles, no window system: the backend measures the controls,
// builds the tree, and moves its windows to the rectangles computed here.
//
// How room is shared along one direction (a box's axis, a grid's columns or rows):
//   - below the sum of the natural sizes, every item gives up room in proportion to what it
//     can give (natural size minus minimum), never below its minimum;
//   - above it, the extra goes to the items with a stretch factor, in proportion to it; when
//     none has one, to the expanding items, else to the items that may grow, in equal shares;
//     fixed items never grow. Pixels left over by the division go to the first items.
// In a grid, what an item spanning several lines needs beyond them goes to the most stretched of
// them, else the most eager, else the last.
// Across a box (and within a grid cell) an item that may grow fills the room; one that may not
// keeps its natural size, placed by its alignment (centred when it has none).
#pragma once

#include <vector>

namespace vbc::platform::win32 {

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

// How an item takes more room than its natural size in one direction.
enum class Grow { Fixed, Preferred, Expanding };

// Alignment of an item that is smaller than its cell (bits, as in the resources).
constexpr int kAlignLeft = 0x1;
constexpr int kAlignRight = 0x2;
constexpr int kAlignHCenter = 0x4;
constexpr int kAlignTop = 0x20;
constexpr int kAlignBottom = 0x40;
constexpr int kAlignVCenter = 0x80;

struct LayoutNode {
    enum class Kind { Item, HBox, VBox, Grid, Form };
    Kind kind = Kind::Item;

    // An item (a control or a spacer): its sizes and how it grows. An item may carry a
    // layout of its own (children[0]) inside the insets, as a group box does.
    Size minimum;
    Size hint;  // natural size; at least minimum
    Grow horizontal = Grow::Preferred;
    Grow vertical = Grow::Preferred;
    int horizontalStretch = 0;  // in a box along its axis, when the box gives none
    int verticalStretch = 0;
    int alignment = 0;  // 0: fill when it may grow, centred when not
    int insetLeft = 0, insetTop = 0, insetRight = 0, insetBottom = 0;

    // A layout: its margins, the room between items (a grid's and a form's in both
    // directions), and the stretch factors by position (box items, grid rows and columns).
    int marginLeft = 0, marginTop = 0, marginRight = 0, marginBottom = 0;
    int spacing = 0;
    std::vector<int> stretch;
    std::vector<int> rowStretch;
    std::vector<int> columnStretch;

    // Its cell in a grid or form parent (a form's labels are in column 0, fields in 1).
    int row = 0;
    int column = 0;
    int rowSpan = 1;
    int columnSpan = 1;

    std::vector<LayoutNode> children;
    int tag = -1;  // the caller's: which control the item stands for

    // Set by Arrange: where the item (or layout) lies.
    Rect geometry;
};

// What a node needs at the least and what it would like, margins and insets included.
Size MinimumSize(const LayoutNode& node);
Size NaturalSize(const LayoutNode& node);
// How the node grows in each direction: an item by its own policy, raised to what its layout
// wants unless it is fixed; a layout as its most eager child.
Grow HorizontalGrow(const LayoutNode& node);
Grow VerticalGrow(const LayoutNode& node);

// Places node and everything below it inside rect (which it takes whole).
void Arrange(LayoutNode& node, const Rect& rect);

// Shares available among items along one direction, as described above.
struct Share {
    int minimum = 0;
    int natural = 0;
    Grow grow = Grow::Preferred;
    int stretch = 0;
};
std::vector<int> Distribute(const std::vector<Share>& items, int available);

}  // namespace vbc::platform::win32
