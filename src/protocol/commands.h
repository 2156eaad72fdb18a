// The command branches that dispatch chooses from by the request's "cmd".
#pragma once

#include <span>
#include <string>

#include "protocol/jm.h"

class Engine;

struct Command {
    const char* name;
    std::string (*handle)(Engine& engine, const jm::Value& request);
};

// list_devices, create_cable, remove_cable, status, start, stop, set_input, set_output,
// set_mute, set_monitor, set_param, get_level, get_latency.
std::span<const Command> engineControlCommands();

// list_presets, set_model_dir, set_voice, sb_play, sb_stop, sb_vol.
std::span<const Command> voiceAndSoundboardCommands();
