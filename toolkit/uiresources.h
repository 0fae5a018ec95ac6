// The panel resources ("mmi.uir", "Utility.uir"), carried inside the program as Qt Designer
// XML, and what every toolkit backend needs to read from them without a widget toolkit:
// control numbers, callback names, selector entries and the texts of static labels.
//
// Conventions of the resources (resources/*.ui):
//   - one panel per file; the top widget's dynamic property "callback" names the panel
//     callback, "closeBox" (false) removes the window's close button;
//   - a control is a widget with the dynamic property "ctrlId" (its number) and, when it has
//     one, "callback" (the name of its control callback);
//   - a selector (combo box) may carry "itemValues" (one integer per entry); without it an
//     entry's value is its index;
//   - a menu bar resource is a main-window form whose menu bar holds the menus; every menu
//     item (action) has "itemId" and "callback", and "checkable" (true) when it shows a check;
//   - a label named kPanelTextObject holds the fixed text of a panel that the program does
//     not fill (turn-on, success and time-out panels);
//   - a widget of class kLedClass is an LED: "lit" (bool) and "label" (text).
//
// Backends that lay panels out themselves (the Win32 one) also read the layout tree
// (ReadUiLayout) and the shape of the menus (UiPanelInfo::menuTree).
#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vbc::platform {

// Faults of the toolkit operations that only backends reading resources have.
constexpr int kUiErrNoResource = -20;    // no such resource, or it cannot be read
constexpr int kUiErrNotSupported = -21;  // the control has no such attribute or value kind

inline constexpr std::string_view kPanelTextObject = "panelText";
inline constexpr std::string_view kLedClass = "VbcLed";

enum class UiResourceKind { Panel, MenuBar };

struct UiResourceInfo {
    const char* file;  // "mmi.uir" or "Utility.uir"
    UiResourceKind kind;
    int number;
    const char* name;  // the .ui file it was made from
    std::string_view xml;
};

// Every embedded resource, in file-name order.
std::span<const UiResourceInfo> UiResources();

// The XML of a panel or a menu bar; empty when there is none. The file is matched on its
// base name (what follows the last '/' or '\'), ignoring case: "MMI.UIR" and
// "C:\vbc\mmi.uir" name "mmi.uir" too.
std::string_view UiResource(std::string_view file, int panelNumber);
std::string_view UiMenuBarResource(std::string_view file, int menuBarNumber);

// What a resource says, read with pugixml (no widget toolkit needed).
struct UiControlInfo {
    int id = 0;
    std::string className;
    std::string objectName;
    std::string callback;            // "" when none
    std::vector<std::string> items;  // selector entries
    std::vector<int> itemValues;     // one per entry (the index when not given)
    int currentIndex = -1;           // selector entry shown at load
};

struct UiMenuItemInfo {
    int id = 0;
    std::string objectName;
    std::string text;  // as written, with its '&' mnemonic
    std::string callback;
    std::string menu;      // title of the menu it sits in, "" for a top-level item
    std::string shortcut;  // as written ("Ctrl+R"), "" when none
    bool checkable = false;
};

// The menus as they nest: a menu (title and entries), an item (itemId; its details in
// UiPanelInfo::menuItems) or a separator.
struct UiMenuNode {
    bool isMenu = false;
    bool separator = false;
    std::string title;                // a menu's, with its '&' mnemonic
    int itemId = 0;                   // an item's
    std::vector<UiMenuNode> entries;  // a menu's, in order
};

struct UiPanelInfo {
    std::string className;  // of the top widget
    std::string objectName;
    std::string title;
    std::string callback;  // panel callback, "" when none
    bool closeBox = true;
    std::vector<UiControlInfo> controls;    // in document order
    std::vector<UiMenuItemInfo> menuItems;  // in menu order
    std::vector<UiMenuNode> menuTree;       // the menu bar's menus (and top-level items)
    const UiControlInfo* Control(int id) const;
    const UiMenuItemInfo* MenuItem(int id) const;
};

// False when the XML is malformed or a number is not a number.
bool ReadUiPanel(std::string_view xml, UiPanelInfo* info);

// The layout tree of a panel: widgets, layouts and spacers as the resource nests them.
struct UiSize {
    int width = 0;
    int height = 0;
    bool operator==(const UiSize&) const = default;
};

enum class UiNodeKind { Widget, Layout, Spacer };

struct UiNode {
    UiNodeKind kind = UiNodeKind::Widget;
    std::string className;  // of a widget or a layout ("QPushButton", "QGridLayout")
    std::string objectName;
    int ctrlId = 0;  // 0 when it is not a control
    // Scalar properties as written (<string> <cstring> <number> <bool> <enum> <set>), and the
    // <size> ones (minimumSize, maximumSize, a spacer's sizeHint).
    std::map<std::string, std::string, std::less<>> properties;
    std::map<std::string, UiSize, std::less<>> sizes;
    // <sizePolicy>: "" when not given (the class's own policy holds).
    std::string horizontalPolicy;
    std::string verticalPolicy;
    int horizontalStretch = 0;
    int verticalStretch = 0;
    // Its place in the parent layout: the cell of a grid or form (the form's label column
    // is 0, its field column 1) and the item's alignment ("" when none).
    int row = 0;
    int column = 0;
    int rowSpan = 1;
    int columnSpan = 1;
    std::string alignment;
    // A layout's stretch factors ("stretch" of a box, "rowstretch"/"columnstretch" of a
    // grid), as many as given; its "spacing" and margins are in properties.
    std::vector<int> stretch;
    std::vector<int> rowStretch;
    std::vector<int> columnStretch;
    // A widget: its layout (at most one) and the widgets placed directly in it;
    // a layout: its items, in document order.
    std::vector<UiNode> children;

    // The property's value as written; nullptr when absent.
    const std::string* Property(std::string_view name) const;
    bool BoolProperty(std::string_view name, bool fallback) const;
    // The layout of a widget, nullptr when it has none.
    const UiNode* Layout() const;
};

// The top widget of the panel with everything below it. False when the XML is malformed,
// or a number, a span or a stretch is not a number (or not positive where it must be).
bool ReadUiLayout(std::string_view xml, UiNode* top);

// The string property of the widget (or action) with that object name; false when absent.
bool UiStringProperty(std::string_view xml, std::string_view objectName, std::string_view property,
                      std::string* value);
// The text of the label with that object name, "" when there is none.
std::string UiLabelText(std::string_view xml, std::string_view objectName);

namespace detail {
// Defined by the generated source (resources/embed.cmake).
extern const UiResourceInfo kEmbeddedUi[];
extern const std::size_t kEmbeddedUiCount;
}  // namespace detail

}  // namespace vbc::platform
