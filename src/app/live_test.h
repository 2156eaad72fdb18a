// Command-line modes on the real audio devices.
#pragma once

#include <string>

// --list: the device list on standard output.
int runListDevices();
// --create-cable, --remove-cable: the virtual cable on the running sound server; the reply line
// on standard output, exit status 2 when it failed.
int runCable(bool create);

// --test: a preset live on the default devices with a status line twice a second.
int runLiveTest(const std::string& preset, int seconds);
