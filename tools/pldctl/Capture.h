// `pldctl capture`'s parts: the walk of an engine through the proxy (Capture.cpp), its active
// events (CaptureEvents.cpp) and the catalogue file it writes (CatalogueText.cpp).
#ifndef PLDCTL_CAPTURE_H
#define PLDCTL_CAPTURE_H

#include <stdexcept>
#include <string>
#include <vector>

#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace pldctl {

// A text the proxy refused as not ASCII: the bytes are not told, so the capture keeps U+FFFD,
// which the proxy refuses the same way.
inline const char* const kNotAsciiText = "\xEF\xBF\xBD";

// The capture cannot go on: the engine went, or answered what no catalogue can hold.
struct CaptureFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The catalogue as a file: the loader's fields in a fixed order, one point, report or event a
// line, each field written only when it differs from the loader's default, so that the same
// catalogue gives the same bytes.
std::string CatalogueText(const zvsim::Catalogue& catalogue);

// The active events as the engine's answer tells them, with the answer's piece size and delivery,
// into `catalogue`; what it cannot tell goes to `notes`. Throws CaptureFault when no answer comes.
void CaptureEvents(ZvPldProxy& proxy, zvsim::Catalogue& catalogue, std::vector<std::string>& notes);

}  // namespace pldctl

#endif
