// Operations whose subsystems this build does not contain yet. Each logs its name and fails:
// result 2, false, an empty string or nothing.
#include "Frame.h"

using namespace zvpld;

namespace {
int notBuilt(const char* op) {
    __dlog_printf(kError, kTag, "%s: not available in this build", op);
    return kFailed;
}
}  // namespace

int ZvPldProxy::Process(ZvPldEngInfo*) {
    return notBuilt("Process");
}
bool ZvPldProxy::GetPldInventory(ZvVelInventory*) const {
    return notBuilt("GetPldInventory") == kOk;
}
bool ZvPldProxy::GetProdSeqId(ZvProductIdentSeq**, unsigned short) const {
    return notBuilt("GetProdSeqId") == kOk;
}
std::string ZvPldProxy::GetFdmVersion(unsigned short) const {
    notBuilt("GetFdmVersion");
    return std::string();
}

int ZvPldProxy::GetActiveEvents(std::list<ActiveEvent*>*, ActiveEventsCb, int) {
    return notBuilt("GetActiveEvents");
}
ZvPldProxy::ActiveEventsCb ZvPldProxy::GetActiveEventsCB() {
    return m_activeEventsCb;
}
std::string* ZvPldProxy::GetActiveStringBuf() {
    return &m_activeStringBuf;
}
int ZvPldProxy::ProcessActiveEventsCB(ZvCallbackInfo*) {
    notBuilt("ProcessActiveEventsCB");
    return 0;
}
