// The twenty wait-state items of the main menu bar as the menu's documentation lists them: item
// number, chip select, wait states and callback name, written out rather than made by a rule.
#pragma once

namespace vbc::test {

struct WaitStateItem {
    int id;
    int chipSelect;
    int waitStates;
    const char* callback;
};

inline constexpr WaitStateItem kWaitStateItems[] = {
    {110, 0, 0, "_mfl51_110MMIMenuCS0_0WaitState"}, {111, 0, 1, "_mfl51_111MMIMenuCS0_1WaitState"},
    {112, 0, 2, "_mfl51_112MMIMenuCS0_2WaitState"}, {113, 0, 3, "_mfl51_113MMIMenuCS0_3WaitState"},
    {114, 0, 4, "_mfl51_114MMIMenuCS0_4WaitState"}, {120, 1, 0, "_mfl51_120MMIMenuCS1_0WaitState"},
    {121, 1, 1, "_mfl51_121MMIMenuCS1_1WaitState"}, {122, 1, 2, "_mfl51_122MMIMenuCS1_2WaitState"},
    {123, 1, 3, "_mfl51_123MMIMenuCS1_3WaitState"}, {124, 1, 4, "_mfl51_124MMIMenuCS1_4WaitState"},
    {130, 2, 0, "_mfl51_130MMIMenuCS2_0WaitState"}, {131, 2, 1, "_mfl51_131MMIMenuCS2_1WaitState"},
    {132, 2, 2, "_mfl51_132MMIMenuCS2_2WaitState"}, {133, 2, 3, "_mfl51_133MMIMenuCS2_3WaitState"},
    {134, 2, 4, "_mfl51_134MMIMenuCS2_4WaitState"}, {140, 3, 0, "_mfl51_140MMIMenuCS3_0WaitState"},
    {141, 3, 1, "_mfl51_141MMIMenuCS3_1WaitState"}, {142, 3, 2, "_mfl51_142MMIMenuCS3_2WaitState"},
    {143, 3, 3, "_mfl51_143MMIMenuCS3_3WaitState"}, {144, 3, 4, "_mfl51_144MMIMenuCS3_4WaitState"},
};

}  // namespace vbc::test
