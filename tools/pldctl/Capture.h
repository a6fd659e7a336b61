// `pldctl capture`'s two halves: the walk of an engine through the proxy (Capture.cpp) and the
// catalogue file it writes (CatalogueText.cpp), with the reading of the active-events answer the
// walk needs.
#ifndef PLDCTL_CAPTURE_H
#define PLDCTL_CAPTURE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimEngine.h"

namespace pldctl {

// A text the proxy refused as not ASCII: the bytes are not told, so the capture keeps U+FFFD,
// which the proxy refuses the same way.
inline const char* const kNotAsciiText = "\xEF\xBF\xBD";

// The catalogue as a file: the loader's fields in a fixed order, one point, report or event a
// line, each field written only when it differs from the loader's default, so that the same
// catalogue gives the same bytes.
std::string CatalogueText(const zvsim::Catalogue& catalogue);

// One group of the active-events answer: its id and its active events, (id, state), in order.
struct EventGroup {
    std::uint32_t groupId = 0;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> active;
};
// Reads the answer "(1,1:3,1)(2,2)" into its groups; false when it is not of that form.
bool ReadActiveEvents(const std::string& answer, std::vector<EventGroup>& groups);

}  // namespace pldctl

#endif
