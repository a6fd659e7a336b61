// Requests passed through: the active-events request, the inventory, product identities and
// FDM versions.
#include "SimEngine.h"

namespace zvsim {

Y4_Status SimEngine::Process(ZvPldEngInfo*) {
    return kRejected;
}

Y4_Status SimEngine::GetVelServerInventory(ZvVelInventory*) {
    return kRejected;
}

ZvProductIdentSeq* SimEngine::GetProdSeqId(unsigned short) {
    return nullptr;
}

Y4_Status SimEngine::GetVelFDMVersion(int, int, char*) {
    return kRejected;
}

}  // namespace zvsim
