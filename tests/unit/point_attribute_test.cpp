// The attribute queries: four send a record and get a status, two get a count with no status.
#include "MockEngine.h"

namespace {

#define ATTRIBUTE(expected, query) \
    POINT_CALL(expected, ReadNumber(out, p, &ZvPldProxy::query, a.device, a.gddId))

constexpr int kCountResults[] = {0, 2, 2, 2, 2, 2, 2, 2, 2};
constexpr char kAll[] = "4294967291";  // the default answer's number, as an unsigned long

const PointOp kAttributeOps[] = {
    {"GetVelPointAccessRights", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointAccessRights - unable to get data access rights due to error:%d - GddId: 4660, "
     "device Id: 7",
     ATTRIBUTE(GetVelPntAccessRights, GetVelPointAccessRights)},
    {"GetVelPointDataType", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointDataType - unable to get data type due to error: %d - GddId: 4660,device Id:7",
     ATTRIBUTE(GetVelPntDataType, GetVelPointDataType)},
    {"GetVelPointUoMID", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointUoMID- unable to get units of measure ID due to error: %d - GddId: 4660, "
     "uofmID: %d",
     ATTRIBUTE(GetVelPntUoMId, GetVelPointUoMID)},
    {"GetVelPointNormFactor", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointNormFactor- unable to get data point's norm factor due to error:%d - GddId: "
     "4660, normalization factor: %d",
     ATTRIBUTE(GetVelPntDsplyNF, GetVelPointNormFactor)},
    {"GetMaxModuleCnt", 0, kAll, kCountResults,
     "GetMaxModuleCnt : Get maximum multi-module count error, GddId :4660",
     ATTRIBUTE(GetMaxRprtMMCnt, GetMaxModuleCnt)},
    {"GetMaxArrayDim", 0, kAll, kCountResults,
     "GetMaxArrayDim : get point's max  Array Dimension error,GddId:4660, device Id: 7",
     ATTRIBUTE(GetMaxPntArrayDim, GetMaxArrayDim)},
};

INSTANTIATE_TEST_SUITE_P(Attribute, PointOperation, ::testing::ValuesIn(kAttributeOps), OpName());

}  // namespace
