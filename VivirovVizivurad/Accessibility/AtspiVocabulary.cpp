#include "VivirovVizivurad/Accessibility/AtspiVocabulary.h"

#include <cctype>
#include <map>

namespace vivirov::atspi_vocabulary {

namespace {

// Lower case without blanks, underscores or dashes: "Push_Button" → "pushbutton".
std::string folded(const std::string& name) {
    std::string out;
    for (unsigned char c : name)
        if (c != ' ' && c != '_' && c != '-') out += char(std::tolower(c));
    return out;
}

std::string camelCased(const std::string& name) {
    std::string out = "AX";
    bool upper = true;
    for (unsigned char c : name) {
        if (c == ' ' || c == '_' || c == '-') {
            upper = true;
            continue;
        }
        out += upper ? char(std::toupper(c)) : char(c);
        upper = false;
    }
    return out;
}

} // namespace

std::string role(const std::string& atspiRoleName) {
    static const std::map<std::string, std::string> roles = {
        {"pushbutton", "AXButton"},     {"button", "AXButton"},           {"togglebutton", "AXButton"},
        {"checkbox", "AXCheckBox"},     {"radiobutton", "AXRadioButton"}, {"text", "AXTextField"},
        {"entry", "AXTextField"},       {"passwordtext", "AXTextField"},  {"frame", "AXWindow"},
        {"window", "AXWindow"},         {"dialog", "AXWindow"},           {"application", "AXApplication"},
        {"label", "AXStaticText"},      {"static", "AXStaticText"},       {"menubar", "AXMenuBar"},
        {"menu", "AXMenu"},             {"menuitem", "AXMenuItem"},       {"combobox", "AXComboBox"},
        {"list", "AXList"},             {"tree", "AXOutline"},            {"treetable", "AXOutline"},
        {"table", "AXTable"},           {"scrollbar", "AXScrollBar"},     {"slider", "AXSlider"},
        {"pagetablist", "AXTabGroup"},  {"toolbar", "AXToolbar"},         {"image", "AXImage"},
        {"filler", "AXGroup"},          {"panel", "AXGroup"},             {"link", "AXLink"},
    };
    if (auto it = roles.find(folded(atspiRoleName)); it != roles.end()) return it->second;
    return camelCased(atspiRoleName);
}

std::optional<std::string> subrole(const std::string& atspiRoleName) {
    const std::string name = folded(atspiRoleName);
    if (name == "passwordtext") return "AXSecureTextField";
    if (name == "dialog") return "AXDialog";
    if (name == "togglebutton") return "AXToggle";
    return std::nullopt;
}

std::string action(const std::string& atspiActionName) {
    const std::string name = folded(atspiActionName);
    if (name == "press" || name == "click" || name == "activate") return "AXPress";
    if (name == "showmenu" || name == "menu" || name == "popup") return "AXShowMenu";
    return camelCased(atspiActionName);
}

} // namespace vivirov::atspi_vocabulary
