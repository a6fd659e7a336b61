// What pldctl and pldweb both say of the proxy's answers: a result code in words, and the table
// of a point's attributes with the proxy's function that reads each.
#pragma once

#include <string>

#include "ZvPldProxy.h"

namespace proxywords {

// A result code in words: "0 (ok)", "2 (<failed>)", "4096 (engine status 1: ...)". `failed`
// says what a failure of the proxy's own (result 2) means to the tool's user.
std::string Describe(int rc, const char* failed);

struct Attribute {
    const char* words;  // in a line of text: "access rights"
    const char* key;    // as a JSON field: "accessRights"
    int (ZvPldProxy::*get)(unsigned long*, unsigned short device, unsigned short gddId);
};

// In the order the tools show them.
inline constexpr Attribute kAttributes[] = {
    {"access rights", "accessRights", &ZvPldProxy::GetVelPointAccessRights},
    {"data type", "dataType", &ZvPldProxy::GetVelPointDataType},
    {"unit id", "uomId", &ZvPldProxy::GetVelPointUoMID},
    {"norm factor", "normFactor", &ZvPldProxy::GetVelPointNormFactor},
    {"modules", "modules", &ZvPldProxy::GetMaxModuleCnt},
    {"array dim", "arrayDim", &ZvPldProxy::GetMaxArrayDim},
};

}  // namespace proxywords
