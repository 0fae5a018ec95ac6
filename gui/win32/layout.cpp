#include "gui/win32/layout.h"

#include <algorithm>
#include <numeric>

namespace vbc::platform::win32 {
namespace {

bool IsLayout(const LayoutNode& n) {
    return n.kind != LayoutNode::Kind::Item;
}

bool IsGrid(const LayoutNode& n) {
    return n.kind == LayoutNode::Kind::Grid || n.kind == LayoutNode::Kind::Form;
}

const LayoutNode* InnerLayout(const LayoutNode& item) {
    return !IsLayout(item) && !item.children.empty() ? &item.children.front() : nullptr;
}

Grow Raise(Grow a, Grow b) {
    return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}

int StretchAt(const std::vector<int>& stretch, std::size_t i) {
    return i < stretch.size() ? stretch[i] : 0;
}

// The columns (horizontal) or rows of a grid or form, as shares.
std::vector<Share> Lines(const LayoutNode& grid, bool horizontal) {
    int count = 0;
    for (const LayoutNode& c : grid.children) {
        count = std::max(count, horizontal ? c.column + c.columnSpan : c.row + c.rowSpan);
    }
    if (grid.kind == LayoutNode::Kind::Form && horizontal) count = std::max(count, 2);
    std::vector<Share> lines(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i].grow = Grow::Fixed;  // an empty line takes no room
        lines[i].stretch = StretchAt(horizontal ? grid.columnStretch : grid.rowStretch, i);
    }
    // Single cells first, then the items that span several lines.
    for (int pass = 0; pass < 2; ++pass) {
        for (const LayoutNode& c : grid.children) {
            const int first = horizontal ? c.column : c.row;
            const int span = horizontal ? c.columnSpan : c.rowSpan;
            if ((span == 1) != (pass == 0)) continue;
            const Size min = MinimumSize(c);
            const Size nat = NaturalSize(c);
            const int cMin = horizontal ? min.width : min.height;
            const int cNat = horizontal ? nat.width : nat.height;
            Grow grow = horizontal ? HorizontalGrow(c) : VerticalGrow(c);
            int haveMin = grid.spacing * (span - 1);
            int haveNat = haveMin;
            bool anyGrows = false;
            for (int i = first; i < first + span; ++i) {
                haveMin += lines[i].minimum;
                haveNat += lines[i].natural;
                anyGrows = anyGrows || lines[i].grow != Grow::Fixed;
            }
            // What a spanning item needs beyond its lines goes to the line among them that
            // takes extra room first: the most stretched, else the most eager, else the last.
            int to = first + span - 1;
            for (int i = first; i < first + span; ++i) {
                const Share& l = lines[i];
                const Share& best = lines[to];
                if (l.stretch > best.stretch ||
                    (l.stretch == best.stretch &&
                     static_cast<int>(l.grow) > static_cast<int>(best.grow)))
                    to = i;
            }
            Share& line = lines[to];
            line.minimum += std::max(0, cMin - haveMin);
            line.natural += std::max(0, cNat - haveNat);
            line.natural = std::max(line.natural, line.minimum);
            if (span == 1 || !anyGrows) line.grow = Raise(line.grow, grow);
        }
    }
    if (grid.kind == LayoutNode::Kind::Form) {
        // Labels keep their width and rows their height; the fields take the width.
        if (horizontal) lines[0].grow = Grow::Fixed;
        if (!horizontal) {
            for (Share& l : lines) l.grow = Grow::Fixed;
        }
    }
    return lines;
}

int Total(const std::vector<Share>& lines, int spacing, bool natural) {
    int total = 0;
    for (const Share& l : lines) total += natural ? l.natural : l.minimum;
    if (!lines.empty()) total += spacing * static_cast<int>(lines.size() - 1);
    return total;
}

Size LayoutSize(const LayoutNode& n, bool natural) {
    int w = 0;
    int h = 0;
    if (IsGrid(n)) {
        w = Total(Lines(n, true), n.spacing, natural);
        h = Total(Lines(n, false), n.spacing, natural);
    } else {
        const bool horizontal = n.kind == LayoutNode::Kind::HBox;
        for (const LayoutNode& c : n.children) {
            const Size s = natural ? NaturalSize(c) : MinimumSize(c);
            if (horizontal) {
                w += s.width;
                h = std::max(h, s.height);
            } else {
                h += s.height;
                w = std::max(w, s.width);
            }
        }
        const int gaps =
            n.children.empty() ? 0 : n.spacing * static_cast<int>(n.children.size() - 1);
        (horizontal ? w : h) += gaps;
    }
    return {w + n.marginLeft + n.marginRight, h + n.marginTop + n.marginBottom};
}

Size ItemSize(const LayoutNode& n, bool natural) {
    if (IsLayout(n)) return LayoutSize(n, natural);
    Size own = natural ? n.hint : n.minimum;
    if (natural)
        own = {std::max(own.width, n.minimum.width), std::max(own.height, n.minimum.height)};
    if (const LayoutNode* inner = InnerLayout(n)) {
        const Size s = LayoutSize(*inner, natural);
        own.width = std::max(own.width, s.width + n.insetLeft + n.insetRight);
        own.height = std::max(own.height, s.height + n.insetTop + n.insetBottom);
    }
    return own;
}

// One direction of an item placed in a cell: its offset and length.
void Fit(int cellStart, int cellLength, int natural, Grow grow, int align, int alignStart,
         int alignEnd, int alignCentre, int* start, int* length) {
    const bool aligned = (align & (alignStart | alignEnd | alignCentre)) != 0;
    if (!aligned && grow != Grow::Fixed) {
        *start = cellStart;
        *length = cellLength;
        return;
    }
    *length = std::min(natural, cellLength);
    if (align & alignStart) {
        *start = cellStart;
    } else if (align & alignEnd) {
        *start = cellStart + cellLength - *length;
    } else {
        *start = cellStart + (cellLength - *length) / 2;
    }
}

void Place(LayoutNode& item, const Rect& cell) {
    const Size nat = NaturalSize(item);
    Rect r;
    if (IsLayout(item)) {
        r = cell;  // a nested layout takes its whole cell
    } else {
        Fit(cell.x, cell.width, nat.width, HorizontalGrow(item), item.alignment, kAlignLeft,
            kAlignRight, kAlignHCenter, &r.x, &r.width);
        Fit(cell.y, cell.height, nat.height, VerticalGrow(item), item.alignment, kAlignTop,
            kAlignBottom, kAlignVCenter, &r.y, &r.height);
    }
    Arrange(item, r);
}

std::vector<int> Offsets(const std::vector<int>& sizes, int start, int spacing) {
    std::vector<int> offsets;
    int at = start;
    for (int s : sizes) {
        offsets.push_back(at);
        at += s + spacing;
    }
    return offsets;
}

void ArrangeGrid(LayoutNode& grid, const Rect& inner) {
    const std::vector<Share> columns = Lines(grid, true);
    const std::vector<Share> rows = Lines(grid, false);
    const int gapsX = columns.empty() ? 0 : grid.spacing * static_cast<int>(columns.size() - 1);
    const int gapsY = rows.empty() ? 0 : grid.spacing * static_cast<int>(rows.size() - 1);
    const std::vector<int> widths = Distribute(columns, inner.width - gapsX);
    const std::vector<int> heights = Distribute(rows, inner.height - gapsY);
    const std::vector<int> xs = Offsets(widths, inner.x, grid.spacing);
    const std::vector<int> ys = Offsets(heights, inner.y, grid.spacing);
    for (LayoutNode& c : grid.children) {
        const int lastColumn = c.column + c.columnSpan - 1;
        const int lastRow = c.row + c.rowSpan - 1;
        Rect cell{xs[c.column], ys[c.row], xs[lastColumn] + widths[lastColumn] - xs[c.column],
                  ys[lastRow] + heights[lastRow] - ys[c.row]};
        // A form's label sits at the left of its row, centred on the field's height.
        if (grid.kind == LayoutNode::Kind::Form && c.column == 0 && c.columnSpan == 1 &&
            c.alignment == 0 && !IsLayout(c)) {
            LayoutNode& label = c;
            const Size nat = NaturalSize(label);
            Rect r{cell.x, cell.y + (cell.height - std::min(nat.height, cell.height)) / 2,
                   std::min(nat.width, cell.width), std::min(nat.height, cell.height)};
            Arrange(label, r);
            continue;
        }
        Place(c, cell);
    }
}

void ArrangeBox(LayoutNode& box, const Rect& inner) {
    const bool horizontal = box.kind == LayoutNode::Kind::HBox;
    std::vector<Share> shares;
    for (std::size_t i = 0; i < box.children.size(); ++i) {
        const LayoutNode& c = box.children[i];
        const Size min = MinimumSize(c);
        const Size nat = NaturalSize(c);
        Share s;
        s.minimum = horizontal ? min.width : min.height;
        s.natural = horizontal ? nat.width : nat.height;
        s.grow = horizontal ? HorizontalGrow(c) : VerticalGrow(c);
        s.stretch = StretchAt(box.stretch, i);
        if (s.stretch == 0 && !IsLayout(c))
            s.stretch = horizontal ? c.horizontalStretch : c.verticalStretch;
        shares.push_back(s);
    }
    const int gaps = shares.empty() ? 0 : box.spacing * static_cast<int>(shares.size() - 1);
    const std::vector<int> sizes =
        Distribute(shares, (horizontal ? inner.width : inner.height) - gaps);
    const std::vector<int> at = Offsets(sizes, horizontal ? inner.x : inner.y, box.spacing);
    for (std::size_t i = 0; i < box.children.size(); ++i) {
        const Rect cell = horizontal ? Rect{at[i], inner.y, sizes[i], inner.height}
                                     : Rect{inner.x, at[i], inner.width, sizes[i]};
        Place(box.children[i], cell);
    }
}

}  // namespace

std::vector<int> Distribute(const std::vector<Share>& items, int available) {
    std::vector<int> sizes(items.size());
    int sumMin = 0;
    int sumNat = 0;
    for (const Share& s : items) {
        sumMin += s.minimum;
        sumNat += std::max(s.natural, s.minimum);
    }
    if (available <= sumMin) {
        for (std::size_t i = 0; i < items.size(); ++i) sizes[i] = items[i].minimum;
        return sizes;
    }
    std::vector<int> weights(items.size(), 0);
    int extra = 0;
    if (available < sumNat) {
        // Shrink: each gives up room in proportion to what it can give.
        const int deficit = sumNat - available;
        for (std::size_t i = 0; i < items.size(); ++i) {
            weights[i] = std::max(items[i].natural, items[i].minimum) - items[i].minimum;
        }
        extra = -deficit;
    } else {
        extra = available - sumNat;
        auto pick = [&](auto eligible, auto weight) {
            bool any = false;
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (eligible(items[i])) {
                    weights[i] = weight(items[i]);
                    any = true;
                }
            }
            return any;
        };
        const bool stretched =
            pick([](const Share& s) { return s.stretch > 0 && s.grow != Grow::Fixed; },
                 [](const Share& s) { return s.stretch; });
        if (!stretched && !pick([](const Share& s) { return s.grow == Grow::Expanding; },
                                [](const Share&) { return 1; })) {
            pick([](const Share& s) { return s.grow == Grow::Preferred; },
                 [](const Share&) { return 1; });
        }
    }
    const int total = std::accumulate(weights.begin(), weights.end(), 0);
    const int magnitude = extra < 0 ? -extra : extra;
    int given = 0;
    std::vector<int> part(items.size(), 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (total > 0)
            part[i] = static_cast<int>(static_cast<long long>(magnitude) * weights[i] / total);
        given += part[i];
    }
    // What the division left goes to the first items that take part, one pixel each.
    for (std::size_t i = 0; total > 0 && given < magnitude; i = (i + 1) % items.size()) {
        const int room = extra < 0 ? weights[i] - part[i] : weights[i];
        if (weights[i] > 0 && room > 0) {
            ++part[i];
            ++given;
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int natural = std::max(items[i].natural, items[i].minimum);
        sizes[i] = extra < 0 ? natural - part[i] : natural + part[i];
    }
    return sizes;
}

Size MinimumSize(const LayoutNode& node) {
    return ItemSize(node, false);
}

Size NaturalSize(const LayoutNode& node) {
    return ItemSize(node, true);
}

Grow HorizontalGrow(const LayoutNode& node) {
    if (IsLayout(node)) {
        Grow g = Grow::Fixed;
        for (const LayoutNode& c : node.children) g = Raise(g, HorizontalGrow(c));
        return g;
    }
    const LayoutNode* inner = InnerLayout(node);
    if (!inner || node.horizontal == Grow::Fixed) return node.horizontal;
    return Raise(node.horizontal, HorizontalGrow(*inner));
}

Grow VerticalGrow(const LayoutNode& node) {
    if (IsLayout(node)) {
        Grow g = Grow::Fixed;
        for (const LayoutNode& c : node.children) g = Raise(g, VerticalGrow(c));
        if (node.kind == LayoutNode::Kind::Form) g = Grow::Fixed;
        return g;
    }
    const LayoutNode* inner = InnerLayout(node);
    if (!inner || node.vertical == Grow::Fixed) return node.vertical;
    return Raise(node.vertical, VerticalGrow(*inner));
}

void Arrange(LayoutNode& node, const Rect& rect) {
    node.geometry = rect;
    if (!IsLayout(node)) {
        if (node.children.empty()) return;
        Arrange(node.children.front(),
                Rect{rect.x + node.insetLeft, rect.y + node.insetTop,
                     std::max(0, rect.width - node.insetLeft - node.insetRight),
                     std::max(0, rect.height - node.insetTop - node.insetBottom)});
        return;
    }
    const Rect inner{rect.x + node.marginLeft, rect.y + node.marginTop,
                     std::max(0, rect.width - node.marginLeft - node.marginRight),
                     std::max(0, rect.height - node.marginTop - node.marginBottom)};
    if (IsGrid(node)) {
        ArrangeGrid(node, inner);
    } else {
        ArrangeBox(node, inner);
    }
}

}  // namespace vbc::platform::win32
