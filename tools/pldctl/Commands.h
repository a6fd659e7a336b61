// pldctl's subcommands that go through a proxy: the point subcommands (Points.cpp), watch
// (Watch.cpp), info (Info.cpp), events (Events.cpp) and the tour (Tour.cpp), each printing with
// PrintLine and counting its failures (Output.h); and capture (Capture.cpp), which writes a file.
#ifndef PLDCTL_COMMANDS_H
#define PLDCTL_COMMANDS_H

#include <string>
#include <vector>

#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace pldctl {

struct Address {
    unsigned short device = 1;
    unsigned short gddId = 0;
    unsigned short mmIdx = 1;  // counted from 1
    unsigned long uofm = 0;
};

// The value and its unit.
std::string ValueText(ZvPldProxy& proxy, const Address& a);

// `get`: label, value and unit.
void ShowPoint(ZvPldProxy& proxy, const Address& a);
// `set`: writes the text, then reads the value back.
void SetPoint(ZvPldProxy& proxy, const Address& a, const std::string& value);
void ShowAttributes(ZvPldProxy& proxy, const Address& a);
void ShowStates(ZvPldProxy& proxy, const Address& a);
void ShowReport(ZvPldProxy& proxy, const Address& a);
void ShowHierarchy(ZvPldProxy& proxy, const Address& a);

// The subcommands below list what the catalogue holds. Watch and Tour show notifications: a
// NotificationLines must be in scope.

// Prints the notifications of `kinds` (value, event, count) for `seconds`, or until SIGINT or
// SIGTERM when 0.
void Watch(ZvPldProxy& proxy, const std::vector<std::string>& kinds, double seconds);
void ShowInfo(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue);
void ShowEvents(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue, unsigned timeoutMs);
// The tour's own exit status.
int Tour(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue);

struct CaptureOptions {
    std::string out;  // "" or "-": stdout
    bool json = false;
    unsigned firstGddId = 0, lastGddId = 0xFFFF;  // the GddIds probed on each device
};
// `capture`: the engine's catalogue as its answers tell it, written as a catalogue file; its
// exit status.
int Capture(ZvPldProxy& proxy, const CaptureOptions& options);

}  // namespace pldctl

#endif
