// Command-line modes on the real audio devices.
#pragma once

#include <string>

// --list: the device list on standard output.
int runListDevices();

// --test: a preset live on the default devices with a status line twice a second.
int runLiveTest(const std::string& preset, int seconds);
