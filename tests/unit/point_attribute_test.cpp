// The attribute queries: four send a record and get a status, two get a count with no status.
#include "MockEngine.h"

namespace {

constexpr int kCountResults[] = {0, 2, 2, 2, 2, 2, 2, 2, 2};
constexpr char kAll[] = "4294967291";  // the default answer's number, as an unsigned long

const PointOp kAttributeOps[] = {
    {"GetVelPointAccessRights", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointAccessRights - unable to get data access rights due to error:%d - GddId: 4660, "
     "device Id: 7",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetVelPntAccessRights).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetVelPointAccessRights, a.device, a.gddId);
     }},
    {"GetVelPointDataType", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointDataType - unable to get data type due to error: %d - GddId: 4660,device Id:7",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetVelPntDataType).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetVelPointDataType, a.device, a.gddId);
     }},
    {"GetVelPointUoMID", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointUoMID- unable to get units of measure ID due to error: %d - GddId: 4660, "
     "uofmID: %d",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetVelPntUoMId).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetVelPointUoMID, a.device, a.gddId);
     }},
    {"GetVelPointNormFactor", 0, kAll, kPassesOneToFiveAnd1007,
     "GetVelPointNormFactor- unable to get data point's norm factor due to error:%d - GddId: "
     "4660, normalization factor: %d",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetVelPntDsplyNF).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetVelPointNormFactor, a.device, a.gddId);
     }},
    {"GetMaxModuleCnt", 0, kAll, kCountResults,
     "GetMaxModuleCnt : Get maximum multi-module count error, GddId :4660",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetMaxRprtMMCnt).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetMaxModuleCnt, a.device, a.gddId);
     }},
    {"GetMaxArrayDim", 0, kAll, kCountResults,
     "GetMaxArrayDim : get point's max  Array Dimension error,GddId:4660, device Id: 7",
     [](auto& e, auto& p, auto& r, auto& a, auto& out) {
         EXPECT_CALL(e, GetMaxPntArrayDim).WillOnce(r);
         return ReadNumber(out, p, &ZvPldProxy::GetMaxArrayDim, a.device, a.gddId);
     }},
};

INSTANTIATE_TEST_SUITE_P(Attribute, PointOperation, ::testing::ValuesIn(kAttributeOps), OpName());

}  // namespace
