// What the bridge takes from its environment, and what it refuses.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "BridgeSettings.h"

using ordalo::bridge::BridgeSettings;
using ordalo::bridge::DesktopKind;

namespace {

struct SettingsCase {
    const char* name;
    std::map<std::string, std::string> environment;
    const char* errorPart;  // null: accepted
    DesktopKind desktop;
    double widthMm, heightMm;
};

class BridgeEnvironment : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(BridgeEnvironment, AcceptedOrRefusedWithTheVariablesName) {
    const SettingsCase& c = GetParam();
    BridgeSettings settings;
    const std::string error = ordalo::bridge::loadSettings(
            [&](const char* name) -> const char* {
                auto found = c.environment.find(name);
                return found == c.environment.end() ? nullptr : found->second.c_str();
            },
            settings);
    if (c.errorPart) {
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        return;
    }
    ASSERT_EQ(error, "");
    EXPECT_EQ(settings.desktop, c.desktop);
    EXPECT_NEAR(settings.widthMm, c.widthMm, 0.05);
    EXPECT_NEAR(settings.heightMm, c.heightMm, 0.05);
}

constexpr DesktopKind X = DesktopKind::XTest, P = DesktopKind::Print;

INSTANTIATE_TEST_SUITE_P(
    Variables, BridgeEnvironment,
    ::testing::Values(
        // The 21.5-inch default surface; xtest where there is a display, print elsewhere.
        SettingsCase{"NothingSet", {}, nullptr, P, 475.97, 267.73},
        SettingsCase{"DisplaySet", {{"DISPLAY", ":0"}}, nullptr, X, 475.97, 267.73},
        SettingsCase{"PrintChosenDespiteDisplay", {{"DISPLAY", ":0"}, {"ORDALO_DESKTOP", "print"}},
                     nullptr, P, 475.97, 267.73},
        SettingsCase{"XTestChosen", {{"ORDALO_DESKTOP", "xtest"}}, nullptr, X, 475.97, 267.73},
        SettingsCase{"UnknownDesktop", {{"ORDALO_DESKTOP", "wayland"}}, "ORDALO_DESKTOP", P, 0, 0},
        SettingsCase{"Screen55", {{"ORDALO_SCREEN", "55@16:9"}}, nullptr, P, 1217.59, 684.89},
        SettingsCase{"ScreenFractionalDiagonal", {{"ORDALO_SCREEN", "21.5@16:10"}}, nullptr, P,
                     463.09, 289.43},
        SettingsCase{"ScreenDiagonalOnly", {{"ORDALO_SCREEN", "55"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenNoHeight", {{"ORDALO_SCREEN", "55@16"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenNoDiagonal", {{"ORDALO_SCREEN", "@16:9"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenZeroDiagonal", {{"ORDALO_SCREEN", "0@16:9"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenZeroAspect", {{"ORDALO_SCREEN", "55@16:0"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenWords", {{"ORDALO_SCREEN", "big@16:9"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenSigned", {{"ORDALO_SCREEN", "55@-16:9"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenTrailing", {{"ORDALO_SCREEN", "55@16:9:1"}}, "ORDALO_SCREEN", P, 0, 0},
        SettingsCase{"ScreenSpaces", {{"ORDALO_SCREEN", "55 @16:9"}}, "ORDALO_SCREEN", P, 0, 0}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

}  // namespace
