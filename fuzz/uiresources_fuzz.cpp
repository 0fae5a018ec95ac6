// Fuzzes the reader of the panel resources (ReadUiPanel, UiStringProperty, UiLabelText) and
// checks that what it accepts holds together.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "toolkit/uiresources.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vbc::platform;
    if (size > (1u << 16)) return -1;
    const std::string_view xml(reinterpret_cast<const char*>(data), size);

    UiPanelInfo info;
    const bool read = ReadUiPanel(xml, &info);
    // UiLabelText checks less than ReadUiPanel (no numbers, no menus): it runs on every input.
    std::string text = UiLabelText(xml, kPanelTextObject);
    if (!read) return 0;

    for (std::size_t i = 0; i < info.controls.size(); ++i) {
        const UiControlInfo& c = info.controls[i];
        Check(c.id > 0, "control number");
        Check(info.Control(c.id) == &c, "control numbers unique");
        Check(c.itemValues.size() == c.items.size(), "one value per entry");
        Check(c.currentIndex < static_cast<int>(c.items.size()), "shown entry exists");
        UiLabelText(xml, c.objectName);
    }
    for (const UiMenuItemInfo& m : info.menuItems) {
        Check(info.MenuItem(m.id) == &m, "menu item numbers unique");
        UiStringProperty(xml, m.objectName, "text", &text);
    }
    // The top widget is found first under its own name, with the title read from it.
    if (!info.objectName.empty()) {
        const bool titled = UiStringProperty(xml, info.objectName, "windowTitle", &text);
        Check(titled ? text == info.title : info.title.empty(), "title read alike");
    }
    // Reading is a function of the text alone.
    UiPanelInfo again;
    Check(ReadUiPanel(xml, &again) && again.controls.size() == info.controls.size() &&
              again.menuItems.size() == info.menuItems.size() && again.title == info.title,
          "read twice alike");
    return 0;
}
