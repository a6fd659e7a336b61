// The simulated engine's reports: which report holds a point, report labels and ancestor chains.
#include "SimEngine.h"

namespace zvsim {

std::uint32_t SimEngine::GetMaxNmbrAncstrs(unsigned short) {
    return 0xFFFFFFFFu;
}

std::uint32_t SimEngine::GetPointsRprt(unsigned short, unsigned long) {
    return 0;
}

Y4_Status SimEngine::GetRprtAncstr(ZvVelRprtDfn*) {
    return kUnknownPoint;
}

Y4_Status SimEngine::GetVelRprtStrLabel(ZvVelRprtDfn*, unsigned int, char*) {
    return kUnknownPoint;
}

}  // namespace zvsim
