#include "toolkit/uiresources.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vbc::platform {
namespace {

// ---------------------------------------------------------------------------------------
// The XML is read with pugixml. pugixml does not validate: it keeps a reference it does not
// know as written, takes any number after "&#", allows '<' in an attribute value and more
// than one root element or text around it, and stops at a NUL. Qt's loader refuses such a
// file, so this reader refuses it too, before reading anything from it: a resource that one
// front end cannot load is not shown by another.

constexpr int kMaxDepth = 256;  // the readers below recurse through the widget tree

// The longest reference taken ("&#x" and 8 digits, or "&#" and 9): room for every character
// and some leading zeros, short enough that pugixml's 32-bit arithmetic cannot wrap around.
constexpr std::size_t kMaxReference = 12;

// The options the document is read with: line ends and attribute blanks normalised as XML
// has them, character data kept whole (blanks and CDATA sections included).
constexpr unsigned kReadOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                  pugi::parse_wconv_attribute | pugi::parse_ws_pcdata;
// The same without decoding, to check the references as written; as a fragment, so that
// what stands beside the root element is kept and can be refused.
constexpr unsigned kCheckOptions = pugi::parse_cdata | pugi::parse_ws_pcdata | pugi::parse_fragment;

bool IsXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// One reference as written ("&...;"): sound when pugixml decodes it to one character XML
// allows, written in canonical UTF-8.
bool SoundReference(std::string_view ref) {
    if (ref.size() > kMaxReference) return false;
    const std::string doc = "<r>" + std::string(ref) + "</r>";
    pugi::xml_document d;
    if (!d.load_buffer(doc.data(), doc.size(), pugi::parse_escapes | pugi::parse_ws_pcdata,
                       pugi::encoding_utf8)) {
        return false;
    }
    const char* text = d.document_element().text().get();
    const std::string_view decoded = text;
    if (decoded.empty() || decoded == ref) return false;  // left as written: not a reference
    const std::wstring wide = pugi::as_wide(text);
    if (wide.size() != 1 || pugi::as_utf8(wide) != decoded) return false;
    const auto cp = static_cast<std::uint32_t>(wide[0]);
    return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

bool SoundReferences(std::string_view raw) {
    for (std::size_t amp = raw.find('&'); amp != std::string_view::npos;
         amp = raw.find('&', amp + 1)) {
        const std::size_t semicolon = raw.find(';', amp);
        if (semicolon == std::string_view::npos) return false;
        if (!SoundReference(raw.substr(amp, semicolon + 1 - amp))) return false;
    }
    return true;
}

class SoundnessCheck : public pugi::xml_tree_walker {
  public:
    bool sound = true;

    bool for_each(pugi::xml_node& node) override {
        if (depth() > kMaxDepth) {
            sound = false;
        } else if (node.type() == pugi::node_pcdata) {
            sound = SoundReferences(node.value());
        } else if (node.type() == pugi::node_element) {
            for (const pugi::xml_attribute& a : node.attributes()) {
                const std::string_view value = a.value();
                if (value.find('<') != std::string_view::npos || !SoundReferences(value)) {
                    sound = false;
                    break;
                }
            }
        }
        return sound;
    }
};

// What pugixml lets through and Qt does not (see above).
bool Sound(std::string_view xml) {
    if (xml.find('\0') != std::string_view::npos) return false;
    pugi::xml_document raw;
    if (!raw.load_buffer(xml.data(), xml.size(), kCheckOptions, pugi::encoding_utf8)) return false;
    int elements = 0;
    for (const pugi::xml_node& n : raw.children()) {
        if (n.type() == pugi::node_element) {
            ++elements;
        } else if (n.type() == pugi::node_cdata ||
                   (n.type() == pugi::node_pcdata &&
                    !std::all_of(n.value(), n.value() + std::strlen(n.value()), IsXmlBlank))) {
            return false;
        }
    }
    if (elements != 1) return false;
    SoundnessCheck check;
    return raw.traverse(check) && check.sound;
}

// ---------------------------------------------------------------------------------------
// Qt Designer semantics on top of the tree.

// The character data directly inside an element, CDATA sections included.
std::string TextOf(pugi::xml_node node) {
    std::string text;
    for (const pugi::xml_node& c : node.children()) {
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
    }
    return text;
}

bool Named(pugi::xml_node node, std::string_view name) {
    return name == node.name();
}

// The value of an attribute; null when the element has none.
const char* AttributeOf(pugi::xml_node node, const char* key) {
    const pugi::xml_attribute a = node.attribute(key);
    return a ? a.value() : nullptr;
}

bool ParseInt(std::string_view text, int* value) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

// The <property name="..."> directly under a widget or action.
pugi::xml_node Property(pugi::xml_node owner, std::string_view name) {
    for (const pugi::xml_node& c : owner.children("property")) {
        const char* n = AttributeOf(c, "name");
        if (n && name == n) return c;
    }
    return {};
}

bool StringOf(pugi::xml_node property, std::string* value) {
    if (!property) return false;
    const pugi::xml_node s = property.child("string");
    if (!s) return false;
    *value = TextOf(s);
    return true;
}

// 0 when absent, 1 when read, -1 when present but not a number.
int NumberOf(pugi::xml_node property, int* value) {
    if (!property) return 0;
    const pugi::xml_node n = property.child("number");
    if (!n) return -1;
    return ParseInt(TextOf(n), value) ? 1 : -1;
}

// True when absent (value unchanged) or a <bool> of "true" or "false" (value set); false
// for anything else, which Qt's loader would not read as a truth value either.
bool BoolOf(pugi::xml_node property, bool* value) {
    if (!property) return true;
    const pugi::xml_node b = property.child("bool");
    const std::string text = b ? TextOf(b) : std::string();
    if (text != "true" && text != "false") return false;
    *value = text == "true";
    return true;
}

// Every widget below node (through layouts, items and nested widgets), in document order.
void CollectWidgets(pugi::xml_node node, std::vector<pugi::xml_node>* out) {
    for (const pugi::xml_node& c : node.children()) {
        if (Named(c, "widget")) out->push_back(c);
        if (Named(c, "widget") || Named(c, "layout") || Named(c, "item")) CollectWidgets(c, out);
    }
}

void CollectNamed(pugi::xml_node node, std::string_view element,
                  std::map<std::string, pugi::xml_node>* out) {
    for (const pugi::xml_node& c : node.children()) {
        if (Named(c, element)) {
            if (const char* n = AttributeOf(c, "name")) out->emplace(n, c);
        }
        CollectNamed(c, element, out);
    }
}

// The document of a resource; false when it is malformed or not a Qt Designer form.
bool ReadTree(std::string_view xml, pugi::xml_document* doc) {
    if (!Sound(xml) || !doc->load_buffer(xml.data(), xml.size(), kReadOptions, pugi::encoding_utf8))
        return false;
    const pugi::xml_node root = doc->document_element();
    return Named(root, "ui") && root.child("widget");
}

bool ReadControl(pugi::xml_node widget, UiControlInfo* control) {
    const char* cls = AttributeOf(widget, "class");
    const char* name = AttributeOf(widget, "name");
    control->className = cls ? cls : "";
    control->objectName = name ? name : "";
    StringOf(Property(widget, "callback"), &control->callback);
    for (const pugi::xml_node& c : widget.children("item")) {
        std::string text;
        StringOf(Property(c, "text"), &text);
        control->items.push_back(std::move(text));
    }
    if (const pugi::xml_node values = Property(widget, "itemValues")) {
        const pugi::xml_node list = values.child("stringlist");
        if (!list) return false;
        for (const pugi::xml_node& s : list.children("string")) {
            int v = 0;
            if (!ParseInt(TextOf(s), &v)) return false;
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

// The items of one menu (or of the menu bar), in the order of its <addaction> entries;
// entries receives the menu's shape.
bool ReadMenu(pugi::xml_node menu, const std::string& title,
              const std::map<std::string, pugi::xml_node>& actions,
              const std::map<std::string, pugi::xml_node>& menus, int depth,
              std::vector<UiMenuItemInfo>* out, std::vector<UiMenuNode>* entries) {
    if (depth > 16) return false;
    for (const pugi::xml_node& c : menu.children("addaction")) {
        const char* name = AttributeOf(c, "name");
        if (!name) continue;
        if (std::string_view(name) == "separator") {
            UiMenuNode separator;
            separator.separator = true;
            entries->push_back(std::move(separator));
            continue;
        }
        if (auto m = menus.find(name); m != menus.end()) {
            UiMenuNode sub;
            sub.isMenu = true;
            StringOf(Property(m->second, "title"), &sub.title);
            if (!ReadMenu(m->second, sub.title, actions, menus, depth + 1, out, &sub.entries))
                return false;
            entries->push_back(std::move(sub));
            continue;
        }
        auto a = actions.find(name);
        if (a == actions.end()) return false;  // names an action that does not exist
        UiMenuItemInfo item;
        item.objectName = name;
        item.menu = title;
        StringOf(Property(a->second, "text"), &item.text);
        StringOf(Property(a->second, "callback"), &item.callback);
        StringOf(Property(a->second, "shortcut"), &item.shortcut);
        if (NumberOf(Property(a->second, "itemId"), &item.id) < 0) return false;
        if (!BoolOf(Property(a->second, "checkable"), &item.checkable)) return false;
        UiMenuNode node;
        node.itemId = item.id;
        entries->push_back(std::move(node));
        out->push_back(std::move(item));
    }
    return true;
}

// A comma-separated list of integers ("0,1,0"); false when an entry is not a number.
bool ReadIntList(const char* text, std::vector<int>* out) {
    if (!text) return true;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        int v = 0;
        if (!ParseInt(rest.substr(0, comma), &v) || v < 0) return false;
        out->push_back(v);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return true;
}

// The properties of a widget, layout or spacer that a layout engine needs.
bool ReadNodeProperties(pugi::xml_node owner, UiNode* node) {
    for (const pugi::xml_node& p : owner.children("property")) {
        const char* name = AttributeOf(p, "name");
        if (!name) continue;
        const pugi::xml_node value =
            p.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; });
        const std::string_view type = value.name();
        if (type == "size" || type == "rect") {
            // A rectangle's position is the designer's: only its size matters here.
            UiSize size;
            if (!ParseInt(TextOf(value.child("width")), &size.width) ||
                !ParseInt(TextOf(value.child("height")), &size.height) || size.width < 0 ||
                size.height < 0)
                return false;
            node->sizes[name] = size;
        } else if (type == "sizepolicy") {
            const char* h = AttributeOf(value, "hsizetype");
            const char* v = AttributeOf(value, "vsizetype");
            node->horizontalPolicy = h ? h : "";
            node->verticalPolicy = v ? v : "";
            if (value.child("horstretch") &&
                !ParseInt(TextOf(value.child("horstretch")), &node->horizontalStretch))
                return false;
            if (value.child("verstretch") &&
                !ParseInt(TextOf(value.child("verstretch")), &node->verticalStretch))
                return false;
        } else if (type == "number") {
            int n = 0;
            if (!ParseInt(TextOf(value), &n)) return false;
            node->properties[name] = TextOf(value);
        } else if (type == "string" || type == "cstring" || type == "bool" || type == "enum" ||
                   type == "set") {
            node->properties[name] = TextOf(value);
        }
    }
    return true;
}

bool ReadNode(pugi::xml_node element, int depth, UiNode* node);

// An <item> of a layout: its cell and alignment, and the widget, layout or spacer in it.
bool ReadItem(pugi::xml_node item, int depth, UiNode* node) {
    const pugi::xml_node content = item.find_child([](pugi::xml_node c) {
        return Named(c, "widget") || Named(c, "layout") || Named(c, "spacer");
    });
    if (!content || !ReadNode(content, depth + 1, node)) return false;
    const std::pair<const char*, int*> cells[] = {{"row", &node->row},
                                                  {"column", &node->column},
                                                  {"rowspan", &node->rowSpan},
                                                  {"colspan", &node->columnSpan}};
    for (const auto& [key, field] : cells) {
        const char* text = AttributeOf(item, key);
        if (text && !ParseInt(text, field)) return false;
    }
    if (node->row < 0 || node->column < 0 || node->rowSpan < 1 || node->columnSpan < 1)
        return false;
    if (const char* a = AttributeOf(item, "alignment")) node->alignment = a;
    return true;
}

bool ReadNode(pugi::xml_node element, int depth, UiNode* node) {
    if (depth > kMaxDepth) return false;
    const char* cls = AttributeOf(element, "class");
    const char* name = AttributeOf(element, "name");
    node->className = cls ? cls : "";
    node->objectName = name ? name : "";
    if (!ReadNodeProperties(element, node)) return false;
    if (Named(element, "spacer")) {
        node->kind = UiNodeKind::Spacer;
        return true;
    }
    if (Named(element, "layout")) {
        node->kind = UiNodeKind::Layout;
        if (!ReadIntList(AttributeOf(element, "stretch"), &node->stretch) ||
            !ReadIntList(AttributeOf(element, "rowstretch"), &node->rowStretch) ||
            !ReadIntList(AttributeOf(element, "columnstretch"), &node->columnStretch))
            return false;
        for (const pugi::xml_node& item : element.children("item")) {
            UiNode child;
            if (!ReadItem(item, depth, &child)) return false;
            node->children.push_back(std::move(child));
        }
        return true;
    }
    node->kind = UiNodeKind::Widget;
    if (NumberOf(Property(element, "ctrlId"), &node->ctrlId) < 0) return false;
    for (const pugi::xml_node& c : element.children()) {
        if (!Named(c, "layout") && !Named(c, "widget")) continue;
        UiNode child;
        if (!ReadNode(c, depth + 1, &child)) return false;
        node->children.push_back(std::move(child));
    }
    return true;
}

pugi::xml_node FindObject(pugi::xml_node root, std::string_view objectName) {
    const pugi::xml_node top = root.child("widget");
    if (const char* n = AttributeOf(top, "name"); n && objectName == n) return top;
    std::vector<pugi::xml_node> widgets;
    CollectWidgets(top, &widgets);
    for (const pugi::xml_node& w : widgets) {
        if (const char* n = AttributeOf(w, "name"); n && objectName == n) return w;
    }
    std::map<std::string, pugi::xml_node> actions;
    CollectNamed(root, "action", &actions);
    auto it = actions.find(std::string(objectName));
    return it == actions.end() ? pugi::xml_node() : it->second;
}

bool SameFileName(std::string_view a, std::string_view b) {
    // Callers name the file as they please: with a path, in any case.
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
    pugi::xml_document doc;
    if (!ReadTree(xml, &doc)) return false;
    const pugi::xml_node root = doc.document_element();
    const pugi::xml_node top = root.child("widget");
    if (const char* cls = AttributeOf(top, "class")) info->className = cls;
    if (const char* name = AttributeOf(top, "name")) info->objectName = name;
    StringOf(Property(top, "windowTitle"), &info->title);
    StringOf(Property(top, "callback"), &info->callback);
    if (!BoolOf(Property(top, "closeBox"), &info->closeBox)) return false;

    std::vector<pugi::xml_node> widgets;
    CollectWidgets(top, &widgets);
    for (const pugi::xml_node& w : widgets) {
        UiControlInfo control;
        int found = NumberOf(Property(w, "ctrlId"), &control.id);
        if (found < 0) return false;
        if (found == 0) continue;
        if (control.id <= 0 || info->Control(control.id)) return false;  // numbers are unique
        if (!ReadControl(w, &control)) return false;
        info->controls.push_back(std::move(control));
    }

    std::map<std::string, pugi::xml_node> actions;
    CollectNamed(root, "action", &actions);
    std::map<std::string, pugi::xml_node> menus;
    for (const pugi::xml_node& w : widgets) {
        const char* cls = AttributeOf(w, "class");
        const char* name = AttributeOf(w, "name");
        if (cls && name && std::string_view(cls) == "QMenu") menus.emplace(name, w);
    }
    for (const pugi::xml_node& w : widgets) {
        const char* cls = AttributeOf(w, "class");
        if (!cls || std::string_view(cls) != "QMenuBar") continue;
        if (!ReadMenu(w, std::string(), actions, menus, 0, &info->menuItems, &info->menuTree))
            return false;
    }
    for (std::size_t i = 0; i < info->menuItems.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (info->menuItems[i].id == info->menuItems[j].id) return false;
        }
    }
    return true;
}

const std::string* UiNode::Property(std::string_view name) const {
    auto it = properties.find(name);
    return it == properties.end() ? nullptr : &it->second;
}

bool UiNode::BoolProperty(std::string_view name, bool fallback) const {
    const std::string* v = Property(name);
    return v ? *v == "true" : fallback;
}

const UiNode* UiNode::Layout() const {
    for (const UiNode& c : children) {
        if (c.kind == UiNodeKind::Layout) return &c;
    }
    return nullptr;
}

bool ReadUiLayout(std::string_view xml, UiNode* top) {
    *top = UiNode();
    pugi::xml_document doc;
    if (!ReadTree(xml, &doc)) return false;
    if (!ReadNode(doc.document_element().child("widget"), 0, top)) {
        *top = UiNode();
        return false;
    }
    return true;
}

bool UiStringProperty(std::string_view xml, std::string_view objectName, std::string_view property,
                      std::string* value) {
    pugi::xml_document doc;
    if (!ReadTree(xml, &doc)) return false;
    const pugi::xml_node object = FindObject(doc.document_element(), objectName);
    std::string text;
    if (!object || !StringOf(Property(object, property), &text)) return false;
    if (value) *value = std::move(text);
    return true;
}

std::string UiLabelText(std::string_view xml, std::string_view objectName) {
    std::string text;
    if (!UiStringProperty(xml, objectName, "text", &text)) return std::string();
    return text;
}

}  // namespace vbc::platform
