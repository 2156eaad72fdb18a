#include "dsp/presets.h"

#include <array>

namespace {

struct Preset {
    const char* name;
    bool listed;
    DspParams params;
};

// Columns in DspParams field order. Every row is complete; only "bypass" is left out of the list.
// clang-format off
constexpr std::array<Preset, 15> kPresets = {{
    //                      pitch  formant  ringHz  ringMix      hp       lp  drive   eMix     eMs    eFb    rev   gain
    {"original", true,  { 1.0f,    0.0f,   0.0f,    0.0f,   0.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"bypass",   false, { 1.0f,    0.0f,   0.0f,    0.0f,   0.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"roboter",  true,  { 1.0f,    0.0f,  35.0f,   0.85f, 500.0f, 2500.0f,  2.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.2f}},
    {"daemon",   true,  {0.72f,   -3.0f,   0.0f,    0.0f,   0.0f,  900.0f,  3.0f,  0.0f, 280.0f, 0.35f, 0.22f,  1.5f}},
    {"tief",     true,  { 0.8f,    0.0f,   0.0f,    0.0f,   0.0f, 2400.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.1f,  1.3f}},
    {"chipmunk", true,  {1.55f,    4.0f,   0.0f,    0.0f, 500.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"yuki",     true,  {1.25f,    5.0f,   0.0f,    0.0f,   0.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"lena",     true,  {1.12f,    2.0f,   0.0f,    0.0f,   0.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"funk",     true,  { 1.0f,    0.0f,   0.0f,    0.0f, 450.0f, 3200.0f,  4.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.4f}},
    {"radio",    true,  { 1.0f,    0.0f,   0.0f,    0.0f, 450.0f, 3200.0f,  4.0f,  0.0f, 280.0f, 0.35f,  0.0f,  1.4f}},
    {"studio",   true,  { 1.0f,    2.0f,   0.0f,    0.0f,   0.0f,    0.0f,  1.2f,  0.0f, 280.0f, 0.35f,  0.0f, 1.15f}},
    {"asmr",     true,  { 1.0f,    3.0f,   0.0f,    0.0f, 300.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f, 0.18f,  1.5f}},
    {"alien",    true,  { 1.3f,    3.0f,  60.0f,    0.4f,   0.0f,    0.0f,  0.0f,  0.0f, 280.0f, 0.35f,  0.3f,  1.0f}},
    {"cyborg",   true,  { 0.9f,    0.0f,  25.0f,   0.55f,   0.0f, 3000.0f,  1.5f,  0.0f, 280.0f, 0.35f,  0.0f,  1.0f}},
    {"echo",     true,  { 1.0f,    0.0f,   0.0f,    0.0f,   0.0f,    0.0f,  0.0f, 0.45f, 300.0f,  0.4f,  0.0f,  1.0f}},
}};
// clang-format on

}  // namespace

DspParams presetByName(const std::string& name, bool& ok) {
    ok = true;
    for (const Preset& p : kPresets) {
        if (name == p.name) return p.params;
    }
    ok = false;
    return DspParams{};
}

std::string presetListJson() {
    std::string text = "[";
    for (const Preset& p : kPresets) {
        if (!p.listed) continue;
        if (text.size() > 1) text += ',';
        text += '"';
        text += p.name;
        text += '"';
    }
    return text + "]";
}
