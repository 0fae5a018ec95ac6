#include "platform/uiresources.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <map>
#include <utility>

namespace vbc::platform {
namespace {

// ---------------------------------------------------------------------------------------
// A small XML reader, enough for Qt Designer files: elements, attributes, text, comments,
// CDATA, processing instructions and the predefined and numeric character references.

struct XmlNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<XmlNode> children;
    std::string text;  // character data directly inside the element

    const std::string* Attribute(std::string_view key) const {
        for (const auto& [k, v] : attributes) {
            if (k == key) return &v;
        }
        return nullptr;
    }
    const XmlNode* Child(std::string_view childName) const {
        for (const auto& c : children) {
            if (c.name == childName) return &c;
        }
        return nullptr;
    }
};

class XmlReader {
  public:
    explicit XmlReader(std::string_view text) : s_(text) {}

    bool Read(XmlNode* root) {
        if (!SkipMisc()) return false;
        if (!ParseElement(root, 0)) return false;
        return SkipMisc() && pos_ == s_.size();
    }

  private:
    static constexpr int kMaxDepth = 256;

    bool StartsWith(std::string_view prefix) const { return s_.substr(pos_).starts_with(prefix); }
    bool AtEnd() const { return pos_ >= s_.size(); }
    void SkipSpace() {
        while (!AtEnd() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    bool SkipPast(std::string_view terminator) {
        std::size_t at = s_.find(terminator, pos_);
        if (at == std::string_view::npos) return false;
        pos_ = at + terminator.size();
        return true;
    }
    // Blanks, comments, processing instructions and a document type outside the root.
    bool SkipMisc() {
        for (;;) {
            SkipSpace();
            if (StartsWith("<?")) {
                if (!SkipPast("?>")) return false;
            } else if (StartsWith("<!--")) {
                if (!SkipPast("-->")) return false;
            } else if (StartsWith("<!DOCTYPE")) {
                if (!SkipPast(">")) return false;
            } else {
                return true;
            }
        }
    }
    static bool IsNameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
               c == ':' || static_cast<unsigned char>(c) >= 0x80;
    }
    bool ParseName(std::string* name) {
        std::size_t start = pos_;
        while (!AtEnd() && IsNameChar(s_[pos_])) ++pos_;
        if (pos_ == start) return false;
        name->assign(s_.substr(start, pos_ - start));
        return true;
    }
    static void AppendUtf8(std::uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    // Character data up to (not including) the first of stop, references decoded.
    bool ParseCharData(char stop, std::string* out) {
        while (!AtEnd() && s_[pos_] != stop) {
            char c = s_[pos_];
            if (c == '<') return false;  // only legal where stop is '<'
            if (c != '&') {
                out->push_back(c);
                ++pos_;
                continue;
            }
            std::size_t end = s_.find(';', pos_);
            if (end == std::string_view::npos || end - pos_ > 12) return false;
            std::string_view ref = s_.substr(pos_ + 1, end - pos_ - 1);
            pos_ = end + 1;
            if (ref == "lt") {
                out->push_back('<');
            } else if (ref == "gt") {
                out->push_back('>');
            } else if (ref == "amp") {
                out->push_back('&');
            } else if (ref == "quot") {
                out->push_back('"');
            } else if (ref == "apos") {
                out->push_back('\'');
            } else if (ref.size() > 1 && ref[0] == '#') {
                bool hex = ref[1] == 'x' || ref[1] == 'X';
                std::string_view digits = ref.substr(hex ? 2 : 1);
                std::uint32_t cp = 0;
                auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp,
                                                 hex ? 16 : 10);
                if (ec != std::errc() || ptr != digits.data() + digits.size() || digits.empty() ||
                    cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                    return false;
                }
                AppendUtf8(cp, out);
            } else {
                return false;
            }
        }
        return true;
    }
    bool ParseElement(XmlNode* node, int depth) {
        if (depth > kMaxDepth || AtEnd() || s_[pos_] != '<') return false;
        ++pos_;
        if (!ParseName(&node->name)) return false;
        for (;;) {
            SkipSpace();
            if (AtEnd()) return false;
            if (StartsWith("/>")) {
                pos_ += 2;
                return true;
            }
            if (s_[pos_] == '>') {
                ++pos_;
                break;
            }
            std::string key;
            if (!ParseName(&key)) return false;
            SkipSpace();
            if (AtEnd() || s_[pos_] != '=') return false;
            ++pos_;
            SkipSpace();
            if (AtEnd() || (s_[pos_] != '"' && s_[pos_] != '\'')) return false;
            char quote = s_[pos_++];
            std::string value;
            if (!ParseCharData(quote, &value) || AtEnd()) return false;
            ++pos_;  // closing quote
            node->attributes.emplace_back(std::move(key), std::move(value));
        }
        // Content.
        for (;;) {
            if (AtEnd()) return false;
            if (StartsWith("</")) {
                pos_ += 2;
                std::string closing;
                if (!ParseName(&closing) || closing != node->name) return false;
                SkipSpace();
                if (AtEnd() || s_[pos_] != '>') return false;
                ++pos_;
                return true;
            }
            if (StartsWith("<!--")) {
                if (!SkipPast("-->")) return false;
            } else if (StartsWith("<![CDATA[")) {
                pos_ += 9;
                std::size_t end = s_.find("]]>", pos_);
                if (end == std::string_view::npos) return false;
                node->text.append(s_.substr(pos_, end - pos_));
                pos_ = end + 3;
            } else if (StartsWith("<?")) {
                if (!SkipPast("?>")) return false;
            } else if (s_[pos_] == '<') {
                node->children.emplace_back();
                if (!ParseElement(&node->children.back(), depth + 1)) return false;
            } else if (!ParseCharData('<', &node->text)) {
                return false;
            }
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------
// Qt Designer semantics on top of the tree.

bool ParseInt(std::string_view text, int* value) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

// The <property name="..."> directly under a widget or action.
const XmlNode* Property(const XmlNode& owner, std::string_view name) {
    for (const auto& c : owner.children) {
        if (c.name != "property") continue;
        const std::string* n = c.Attribute("name");
        if (n && *n == name) return &c;
    }
    return nullptr;
}

bool StringOf(const XmlNode* property, std::string* value) {
    if (!property) return false;
    const XmlNode* s = property->Child("string");
    if (!s) return false;
    *value = s->text;
    return true;
}

// 0 when absent, 1 when read, -1 when present but not a number.
int NumberOf(const XmlNode* property, int* value) {
    if (!property) return 0;
    const XmlNode* n = property->Child("number");
    if (!n) return -1;
    return ParseInt(n->text, value) ? 1 : -1;
}

// Every widget below node (through layouts, items and nested widgets), in document order.
void CollectWidgets(const XmlNode& node, std::vector<const XmlNode*>* out) {
    for (const auto& c : node.children) {
        if (c.name == "widget") out->push_back(&c);
        if (c.name == "widget" || c.name == "layout" || c.name == "item") CollectWidgets(c, out);
    }
}

void CollectNamed(const XmlNode& node, std::string_view element,
                  std::map<std::string, const XmlNode*>* out) {
    for (const auto& c : node.children) {
        if (c.name == element) {
            if (const std::string* n = c.Attribute("name")) out->emplace(*n, &c);
        }
        CollectNamed(c, element, out);
    }
}

bool ReadTree(std::string_view xml, XmlNode* root) {
    XmlReader reader(xml);
    return reader.Read(root) && root->name == "ui" && root->Child("widget") != nullptr;
}

bool ReadControl(const XmlNode& widget, UiControlInfo* control) {
    const std::string* cls = widget.Attribute("class");
    const std::string* name = widget.Attribute("name");
    control->className = cls ? *cls : std::string();
    control->objectName = name ? *name : std::string();
    StringOf(Property(widget, "callback"), &control->callback);
    for (const auto& c : widget.children) {
        if (c.name != "item") continue;
        std::string text;
        StringOf(Property(c, "text"), &text);
        control->items.push_back(std::move(text));
    }
    if (const XmlNode* values = Property(widget, "itemValues")) {
        const XmlNode* list = values->Child("stringlist");
        if (!list) return false;
        for (const auto& s : list->children) {
            if (s.name != "string") continue;
            int v = 0;
            if (!ParseInt(s.text, &v)) return false;
            control->itemValues.push_back(v);
        }
        if (control->itemValues.size() != control->items.size()) return false;
    } else {
        for (std::size_t i = 0; i < control->items.size(); ++i) {
            control->itemValues.push_back(static_cast<int>(i));
        }
    }
    int current = control->items.empty() ? -1 : 0;
    if (NumberOf(Property(widget, "currentIndex"), &current) < 0) return false;
    if (current >= static_cast<int>(control->items.size())) return false;
    control->currentIndex = current;
    return true;
}

// The items of one menu (or of the menu bar), in the order of its <addaction> entries.
bool ReadMenu(const XmlNode& menu, const std::string& title,
              const std::map<std::string, const XmlNode*>& actions,
              const std::map<std::string, const XmlNode*>& menus, int depth,
              std::vector<UiMenuItemInfo>* out) {
    if (depth > 16) return false;
    for (const auto& c : menu.children) {
        if (c.name != "addaction") continue;
        const std::string* name = c.Attribute("name");
        if (!name || *name == "separator") continue;
        if (auto m = menus.find(*name); m != menus.end()) {
            std::string subTitle;
            StringOf(Property(*m->second, "title"), &subTitle);
            if (!ReadMenu(*m->second, subTitle, actions, menus, depth + 1, out)) return false;
            continue;
        }
        auto a = actions.find(*name);
        if (a == actions.end()) return false;  // names an action that does not exist
        UiMenuItemInfo item;
        item.objectName = *name;
        item.menu = title;
        StringOf(Property(*a->second, "text"), &item.text);
        StringOf(Property(*a->second, "callback"), &item.callback);
        if (NumberOf(Property(*a->second, "itemId"), &item.id) < 0) return false;
        out->push_back(std::move(item));
    }
    return true;
}

const XmlNode* FindObject(const XmlNode& root, std::string_view objectName) {
    const XmlNode* top = root.Child("widget");
    if (const std::string* n = top->Attribute("name"); n && *n == objectName) return top;
    std::vector<const XmlNode*> widgets;
    CollectWidgets(*top, &widgets);
    for (const XmlNode* w : widgets) {
        if (const std::string* n = w->Attribute("name"); n && *n == objectName) return w;
    }
    std::map<std::string, const XmlNode*> actions;
    CollectNamed(root, "action", &actions);
    auto it = actions.find(std::string(objectName));
    return it == actions.end() ? nullptr : it->second;
}

bool SameFileName(std::string_view a, std::string_view b) {
    // The resource files were named without regard to case.
    if (auto slash = a.find_last_of("/\\"); slash != std::string_view::npos)
        a.remove_prefix(slash + 1);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Find(std::string_view file, UiResourceKind kind, int number) {
    for (const auto& r : UiResources()) {
        if (r.kind == kind && r.number == number && SameFileName(file, r.file)) return r.xml;
    }
    return {};
}

}  // namespace

std::span<const UiResourceInfo> UiResources() {
    return {detail::kEmbeddedUi, detail::kEmbeddedUiCount};
}

std::string_view UiResource(std::string_view file, int panelNumber) {
    return Find(file, UiResourceKind::Panel, panelNumber);
}

std::string_view UiMenuBarResource(std::string_view file, int menuBarNumber) {
    return Find(file, UiResourceKind::MenuBar, menuBarNumber);
}

const UiControlInfo* UiPanelInfo::Control(int id) const {
    for (const auto& c : controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

const UiMenuItemInfo* UiPanelInfo::MenuItem(int id) const {
    for (const auto& m : menuItems) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

bool ReadUiPanel(std::string_view xml, UiPanelInfo* info) {
    *info = UiPanelInfo();
    XmlNode root;
    if (!ReadTree(xml, &root)) return false;
    const XmlNode& top = *root.Child("widget");
    if (const std::string* cls = top.Attribute("class")) info->className = *cls;
    if (const std::string* name = top.Attribute("name")) info->objectName = *name;
    StringOf(Property(top, "windowTitle"), &info->title);
    StringOf(Property(top, "callback"), &info->callback);
    if (const XmlNode* close = Property(top, "closeBox")) {
        const XmlNode* b = close->Child("bool");
        if (!b || (b->text != "true" && b->text != "false")) return false;
        info->closeBox = b->text == "true";
    }

    std::vector<const XmlNode*> widgets;
    CollectWidgets(top, &widgets);
    for (const XmlNode* w : widgets) {
        UiControlInfo control;
        int found = NumberOf(Property(*w, "ctrlId"), &control.id);
        if (found < 0) return false;
        if (found == 0) continue;
        if (control.id <= 0 || info->Control(control.id)) return false;  // numbers are unique
        if (!ReadControl(*w, &control)) return false;
        info->controls.push_back(std::move(control));
    }

    std::map<std::string, const XmlNode*> actions;
    CollectNamed(root, "action", &actions);
    std::map<std::string, const XmlNode*> menus;
    for (const XmlNode* w : widgets) {
        const std::string* cls = w->Attribute("class");
        const std::string* name = w->Attribute("name");
        if (cls && name && *cls == "QMenu") menus.emplace(*name, w);
    }
    for (const XmlNode* w : widgets) {
        const std::string* cls = w->Attribute("class");
        if (!cls || *cls != "QMenuBar") continue;
        if (!ReadMenu(*w, std::string(), actions, menus, 0, &info->menuItems)) return false;
    }
    for (std::size_t i = 0; i < info->menuItems.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (info->menuItems[i].id == info->menuItems[j].id) return false;
        }
    }
    return true;
}

bool UiStringProperty(std::string_view xml, std::string_view objectName, std::string_view property,
                      std::string* value) {
    XmlNode root;
    if (!ReadTree(xml, &root)) return false;
    const XmlNode* object = FindObject(root, objectName);
    std::string text;
    if (!object || !StringOf(Property(*object, property), &text)) return false;
    if (value) *value = std::move(text);
    return true;
}

std::string UiLabelText(std::string_view xml, std::string_view objectName) {
    std::string text;
    if (!UiStringProperty(xml, objectName, "text", &text)) return std::string();
    return text;
}

}  // namespace vbc::platform
