#include "dsp/presets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const char kListText[] =
    R"(["original","roboter","daemon","tief","chipmunk","yuki","lena","funk","radio","studio","asmr","alien","cyborg","echo"])";

std::vector<std::string> listedNames() {
    std::vector<std::string> names;
    const std::string text = presetListJson();
    for (size_t i = text.find('"'); i != std::string::npos; i = text.find('"', i)) {
        const size_t end = text.find('"', i + 1);
        names.push_back(text.substr(i + 1, end - i - 1));
        i = end + 1;
    }
    return names;
}

}  // namespace

TEST(PresetsTest, ListText) {
    EXPECT_EQ(presetListJson(), kListText);
    EXPECT_EQ(presetListJson().size(), 118u);
    const std::vector<std::string> names = listedNames();
    EXPECT_EQ(names.size(), 14u);
    for (const std::string& name : names) {
        bool ok = false;
        presetByName(name, ok);
        EXPECT_TRUE(ok) << name;
    }
}

TEST(PresetsTest, Table) {
    struct Row {
        const char* name;
        DspParams p;
    };
    // pitchRatio, formant, ringHz, ringMix, highpassHz, lowpassHz, drive, echoMix, echoMs,
    // echoFeedback, reverbMix, gain
    const Row rows[] = {
        {"original", {1.0f, 0, 0, 0, 0, 0, 0, 0, 280, 0.35f, 0, 1.0f}},
        {"bypass", {1.0f, 0, 0, 0, 0, 0, 0, 0, 280, 0.35f, 0, 1.0f}},
        {"roboter", {1.0f, 0, 35, 0.85f, 500, 2500, 2.0f, 0, 280, 0.35f, 0, 1.2f}},
        {"daemon", {0.72f, -3, 0, 0, 0, 900, 3.0f, 0, 280, 0.35f, 0.22f, 1.5f}},
        {"tief", {0.8f, 0, 0, 0, 0, 2400, 0, 0, 280, 0.35f, 0.1f, 1.3f}},
        {"chipmunk", {1.55f, 4, 0, 0, 500, 0, 0, 0, 280, 0.35f, 0, 1.0f}},
        {"yuki", {1.25f, 5, 0, 0, 0, 0, 0, 0, 280, 0.35f, 0, 1.0f}},
        {"lena", {1.12f, 2, 0, 0, 0, 0, 0, 0, 280, 0.35f, 0, 1.0f}},
        {"funk", {1.0f, 0, 0, 0, 450, 3200, 4.0f, 0, 280, 0.35f, 0, 1.4f}},
        {"radio", {1.0f, 0, 0, 0, 450, 3200, 4.0f, 0, 280, 0.35f, 0, 1.4f}},
        {"studio", {1.0f, 2, 0, 0, 0, 0, 1.2f, 0, 280, 0.35f, 0, 1.15f}},
        {"asmr", {1.0f, 3, 0, 0, 300, 0, 0, 0, 280, 0.35f, 0.18f, 1.5f}},
        {"alien", {1.3f, 3, 60, 0.4f, 0, 0, 0, 0, 280, 0.35f, 0.3f, 1.0f}},
        {"cyborg", {0.9f, 0, 25, 0.55f, 0, 3000, 1.5f, 0, 280, 0.35f, 0, 1.0f}},
        {"echo", {1.0f, 0, 0, 0, 0, 0, 0, 0.45f, 300, 0.4f, 0, 1.0f}},
    };
    for (const Row& row : rows) {
        bool ok = false;
        EXPECT_EQ(presetByName(row.name, ok), row.p) << row.name;
        EXPECT_TRUE(ok) << row.name;
    }
    // The neutral presets are the default record.
    bool ok = false;
    EXPECT_EQ(presetByName("original", ok), DspParams{});
    EXPECT_EQ(presetByName("bypass", ok), DspParams{});
}

TEST(PresetsTest, UnknownNamesGiveTheNeutralRecord) {
    for (const char* name : {"Roboter", "roboter ", " roboter", "", "ROBOTER", "robot", "bypas"}) {
        bool ok = true;
        EXPECT_EQ(presetByName(name, ok), DspParams{}) << name;
        EXPECT_FALSE(ok) << '"' << name << '"';
    }
    const std::vector<std::string> listed = listedNames();
    EXPECT_EQ(std::find(listed.begin(), listed.end(), "bypass"), listed.end());
}

TEST(PresetsTest, OnlyTheNamedPresetsUseEchoOrReverb) {
    std::set<std::string> echo, reverb;
    for (const std::string& name : listedNames()) {
        bool ok = false;
        const DspParams p = presetByName(name, ok);
        if (p.echoMix > 0.001f) echo.insert(name);
        if (p.reverbMix > 0.001f) reverb.insert(name);
    }
    EXPECT_EQ(echo, std::set<std::string>{"echo"});
    EXPECT_EQ(reverb, (std::set<std::string>{"daemon", "tief", "asmr", "alien"}));
}
