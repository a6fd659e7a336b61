// The statuses an engine answers its calls with: the device's engine's, which the simulated
// engine answers and the daemon's client passes on, and the few of the stand-ins' own (a reply
// that did not come, a request the engine does not know).
#ifndef ZV_PLD_STATUS_H
#define ZV_PLD_STATUS_H

#include "ZvPldTypes.h"

namespace zvstatus {

enum Status : Y4_Status {
    kOk = 0,
    kUnknownDevice = 1,
    kUnknownPoint = 2,
    kBadModule = 3,
    kReadOnly = 4,
    kRejected = 5,           // value out of range or not understood, or no such unit or state
    kNoDescription = 6,      // success: the point has no description of its own, its label is sent
    kLabelRead = 7,          // success of a report label: read in full
    kLabelCut = 8,           // success of a report label: cut to the size asked for
    kWrongType = 9,          // the point's data type does not fit the request
    kUnknownEvent = 10,      // SetEventState: no event with that id
    kBufferTooSmall = 11,    // the ancestor request's buffer cannot hold the report's chain
    kUnknownRequest = 12,    // Process: unknown path, query or type, or no response function
    kNoEngine = 13,          // the engine daemon did not answer in time, or answered garbage
    kNoAncestorRecord = 85,  // the engine keeps no ancestor record for the report
    kOffline = 1007,         // the device does not answer; its catalogue texts are still known
};

}  // namespace zvstatus

#endif
