#include <gtest/gtest.h>

#include "VivirovVizivurad/Accessibility/AtspiVocabulary.h"

using namespace vivirov;

TEST(AtspiVocabulary, MapsRolesAndActionsToTheToolsNames) {
    const std::vector<std::pair<std::string, std::string>> roles = {
        {"push button", "AXButton"},  {"text", "AXTextField"},     {"entry", "AXTextField"},
        {"password text", "AXTextField"}, {"frame", "AXWindow"},   {"dialog", "AXWindow"},
        {"application", "AXApplication"}, {"label", "AXStaticText"}, {"tree item", "AXTreeItem"},
        {"page tab", "AXPageTab"},
    };
    for (const auto& [atspi, ax] : roles) EXPECT_EQ(atspi_vocabulary::role(atspi), ax) << atspi;
    EXPECT_EQ(atspi_vocabulary::subrole("password text"), "AXSecureTextField");
    EXPECT_EQ(atspi_vocabulary::subrole("push button"), std::nullopt);

    const std::vector<std::pair<std::string, std::string>> actions = {
        {"Press", "AXPress"}, {"click", "AXPress"}, {"activate", "AXPress"},
        {"ShowMenu", "AXShowMenu"}, {"show menu", "AXShowMenu"}, {"SetFocus", "AXSetFocus"}, {"toggle", "AXToggle"},
    };
    for (const auto& [atspi, ax] : actions) EXPECT_EQ(atspi_vocabulary::action(atspi), ax) << atspi;
}
