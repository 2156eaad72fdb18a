// The named DSP voices.
#pragma once

#include <string>

#include "dsp/dsp_chain.h"

// Always returns a record: the preset's for a known name (exact, case-sensitive), otherwise the
// neutral defaults with ok = false.
DspParams presetByName(const std::string& name, bool& ok);

// The names offered to the front end, as a JSON array text; "bypass" is accepted but not listed.
std::string presetListJson();
