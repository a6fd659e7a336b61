// Point access: texts, values, attributes and enumeration states of one data point.
#include <cstring>

#include "Frame.h"

using namespace zvpld;

namespace {

constexpr unsigned int kTextSize = 256;  // reply buffers hold this many characters and a NUL
constexpr unsigned int kMaxEnumStates = 100;
constexpr char kZeroText[] = "0";

// Statuses passed on, by kind of request.
constexpr StatusTable kRead = StatusTable::passing(5);
constexpr StatusTable kDescriptionRead = kRead.alsoSucceedingOn(6);  // 6: the label came instead
constexpr StatusTable kReadPassing1007 = kRead.passing1007AsFirst();
constexpr StatusTable kWrite = StatusTable::passing(3);

ZvVelPntDfn pointRecord(unsigned short deviceIdx, unsigned short gddId, std::uint16_t mmIdx,
                        unsigned short auxIdx, short auxParam, const char* auxText,
                        unsigned long uofm) {
    return ZvVelPntDfn{
        deviceIdx, gddId, mmIdx, auxIdx, auxParam, auxText, static_cast<std::uint32_t>(uofm)};
}

ZvVelPntDfn attributeRecord(unsigned short deviceIdx, unsigned short gddId) {
    return pointRecord(deviceIdx, gddId, 0, 0, 0, nullptr, 0);
}

using TextCall = Y4_Status (ZvPldMsgClient::*)(const ZvVelPntDfn*, unsigned int, char*);

template <TextCall Call, class OnFailure>
int readText(const char* op, const StatusTable& table, const ZvVelPntDfn& rec, const char* asciiTag,
             std::string& text, OnFailure&& onFailure) {
    char reply[kTextSize + 1] = {};  // no byte the engine did not write is ever read
    return request(
        op, table, [&](auto& c) { return callOn<Call>(c, &rec, kTextSize, reply); }, onFailure,
        [&] { return deliverText(op, asciiTag, reply, kTextSize, rec.gddId, text); });
}

// The status message of three of the text reads.
auto textReadFailure(const char* op, unsigned short gddId) {
    return [=](Y4_Status status) {
        __dlog_printf(kError, kTag, "%s - unable to get data due to error: %d - GddId: %d", op,
                      status, gddId);
    };
}

// The status message of both numeric reads.
auto valueReadFailure(const char* op, unsigned short gddId, unsigned short mmIdx,
                      unsigned long uofm) {
    return [=](Y4_Status status) {
        __dlog_printf(kError, kTag,
                      "%s - unable to get data due to error:%d - GddId: %d, mmIdx:%d, uofm: %ld",
                      op, status, gddId, mmIdx, static_cast<long>(uofm));
    };
}

template <class Cell, class Call, class OnFailure>
int readCell(const char* op, const StatusTable& table, Cell* out, Call&& call,
             OnFailure&& onFailure) {
    Cell cell = 0;
    return request(
        op, table, [&cell, call](auto& c) { return call(c, &cell); }, onFailure,
        [&] {
            *out = cell;
            return kOk;
        });
}

template <class Call, class OnFailure>
int write(const char* op, Call&& call, OnFailure&& onFailure) {
    return request(op, kWrite, call, onFailure, [] { return kOk; });
}

// A count query: the engine answers the number itself, 0 meaning none or failure.
using CountCall = std::uint32_t (ZvPldMsgClient::*)(std::uint16_t, std::uint32_t);

template <CountCall Call, class OnFailure>
int readCount(const char* op, unsigned long* value, unsigned short deviceIdx, unsigned short gddId,
              OnFailure&& onFailure) {
    return readAnswer(
        op, 0, [=](auto& c) { return callOn<Call>(c, deviceIdx, gddId); }, value, onFailure);
}

// A record query for one attribute; the message names the value the cell holds after the call.
using AttributeCall = Y4_Status (ZvPldMsgClient::*)(const ZvVelPntDfn*, std::uint32_t*);

template <AttributeCall Call, class OnFailure>
int readAttribute(const char* op, unsigned long* value, unsigned short deviceIdx,
                  unsigned short gddId, OnFailure&& onFailure) {
    const ZvVelPntDfn rec = attributeRecord(deviceIdx, gddId);
    std::uint32_t cell = 0;
    return request(
        op, kReadPassing1007, [&](auto& c) { return callOn<Call>(c, &rec, &cell); },
        [&](Y4_Status status) { onFailure(status, cell); },
        [&] {
            *value = cell;
            return kOk;
        });
}

}  // namespace

int ZvPldProxy::GetLabelString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, const char* auxText) {
    const char* op = "GetLabelString";
    const ZvVelPntDfn rec = pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, 0,
                                        auxText != nullptr ? auxText : kZeroText, 0);
    return readText<&ZvPldMsgClient::GetVelPntStrLabel>(op, kRead, rec, kTag, text,
                                                        textReadFailure(op, gddId));
}

int ZvPldProxy::GetFullDescriptionString(std::string& text, unsigned short deviceIdx,
                                         unsigned short gddId, unsigned short mmIdx,
                                         unsigned short auxIdx) {
    const char* op = "GetFullDescriptionString";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModuleOrWhole(mmIdx), auxIdx, 0, nullptr, 0);
    return readText<&ZvPldMsgClient::GetVelPntStrDscrptn>(op, kDescriptionRead, rec, kTag, text,
                                                          textReadFailure(op, gddId));
}

int ZvPldProxy::GetUomLabelString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                                  unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm) {
    const char* op = "GetUomLabelString";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, 0, nullptr, uofm);
    return readText<&ZvPldMsgClient::GetVelPntStrUoM>(op, kRead, rec, kLibraryName, text,
                                                      textReadFailure(op, gddId));
}

int ZvPldProxy::GetValueString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, const char* auxText) {
    const char* op = "GetValueString";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, auxText, uofm);
    return readText<&ZvPldMsgClient::GetVelPntStr>(
        op, kRead, rec, kTag, text, [=](Y4_Status status) {
            __dlog_printf(kError, kTag,
                          "%s - unable to get data due to error:%d - GddId:%d, "
                          "mmIdx:%d uofm:%ld",
                          op, status, gddId, mmIdx, static_cast<long>(uofm));
        });
}

int ZvPldProxy::GetValueSInt32(int* value, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam) {
    const char* op = "GetValueSInt32";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, kZeroText, uofm);
    return readCell(
        op, kRead, value, [&](auto& c, std::int32_t* cell) { return c.GetVelPntInt32(&rec, cell); },
        valueReadFailure(op, gddId, mmIdx, uofm));
}

int ZvPldProxy::GetValueUInt32(unsigned int* value, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam) {
    const char* op = "GetValueUInt32";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, kZeroText, uofm);
    return readCell(
        op, kReadPassing1007, value,
        [&](auto& c, std::uint32_t* cell) { return c.GetVelPntUint32(&rec, cell); },
        valueReadFailure(op, gddId, mmIdx, uofm));
}

int ZvPldProxy::SetValueString(const char* newValue, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, const char* auxText, unsigned short setParam) {
    const char* op = "SetValueString";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, auxText, uofm);
    return write(
        op,
        [&rec, newValue, setParam](auto& c) { return c.SetVelPntStr(&rec, newValue, setParam); },
        [=](Y4_Status status) {
            __dlog_printf(kError, kTag,
                          "%s - unable to set data due to error:%d - GddId:%d, mmIdx:%d, uofm:%ld",
                          op, status, gddId, mmIdx, static_cast<long>(uofm));
        });
}

int ZvPldProxy::SetValueSInt32(int newValue, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, unsigned short setParam) {
    const char* op = "SetValueSInt32";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, kZeroText, uofm);
    return write(
        op,
        [&rec, newValue, setParam](auto& c) { return c.SetVelPntInt32(&rec, newValue, setParam); },
        [=](Y4_Status status) {
            __dlog_printf(
                kError, kTag,
                "%s: - unable to set data due to error:%d - GddId:%d, mmIdx:%d, uofm: %ld", op,
                status, gddId, mmIdx, static_cast<long>(uofm));
        });
}

int ZvPldProxy::SetValueUInt32(unsigned int newValue, unsigned short deviceIdx,
                               unsigned short gddId, unsigned short mmIdx, unsigned short auxIdx,
                               unsigned long uofm, short auxParam, unsigned short setParam) {
    const char* op = "SetValueUInt32";
    const ZvVelPntDfn rec =
        pointRecord(deviceIdx, gddId, engineModule(mmIdx), auxIdx, auxParam, kZeroText, uofm);
    return write(
        op,
        [&rec, newValue, setParam](auto& c) { return c.SetVelPntUint32(&rec, newValue, setParam); },
        [=](Y4_Status status) {
            __dlog_printf(
                kError, kTag,
                "%s - unable to set data due to error:%d - GddId: %d, mmIdx:%d, uofm: %ld", op,
                status, gddId, mmIdx, static_cast<long>(uofm));
        });
}

int ZvPldProxy::GetMaxModuleCnt(unsigned long* value, unsigned short deviceIdx,
                                unsigned short gddId) {
    const char* op = "GetMaxModuleCnt";
    return readCount<&ZvPldMsgClient::GetMaxRprtMMCnt>(op, value, deviceIdx, gddId, [=] {
        __dlog_printf(kError, kTag, "%s : Get maximum multi-module count error, GddId :%d", op,
                      gddId);
    });
}

int ZvPldProxy::GetMaxArrayDim(unsigned long* value, unsigned short deviceIdx,
                               unsigned short gddId) {
    const char* op = "GetMaxArrayDim";
    return readCount<&ZvPldMsgClient::GetMaxPntArrayDim>(op, value, deviceIdx, gddId, [=] {
        __dlog_printf(kError, kTag,
                      "%s : get point's max  Array Dimension error,GddId:%d, device Id: %d", op,
                      gddId, deviceIdx);
    });
}

int ZvPldProxy::GetVelPointAccessRights(unsigned long* value, unsigned short deviceIdx,
                                        unsigned short gddId) {
    const char* op = "GetVelPointAccessRights";
    return readAttribute<&ZvPldMsgClient::GetVelPntAccessRights>(
        op, value, deviceIdx, gddId, [=](Y4_Status status, std::uint32_t) {
            __dlog_printf(kError, kTag,
                          "%s - unable to get data access rights due to error:%d - GddId: %d, "
                          "device Id: %d",
                          op, status, gddId, deviceIdx);
        });
}

int ZvPldProxy::GetVelPointDataType(unsigned long* value, unsigned short deviceIdx,
                                    unsigned short gddId) {
    const char* op = "GetVelPointDataType";
    return readAttribute<&ZvPldMsgClient::GetVelPntDataType>(
        op, value, deviceIdx, gddId, [=](Y4_Status status, std::uint32_t) {
            __dlog_printf(kError, kTag,
                          "%s - unable to get data type due to error: %d - GddId: %d,device Id:%d",
                          op, status, gddId, deviceIdx);
        });
}

int ZvPldProxy::GetVelPointUoMID(unsigned long* value, unsigned short deviceIdx,
                                 unsigned short gddId) {
    const char* op = "GetVelPointUoMID";
    const ZvVelPntDfn rec = attributeRecord(deviceIdx, gddId);
    Y4paVelDsply dsply{};
    return request(
        op, kReadPassing1007, [&](auto& c) { return c.GetVelPntUoMId(&rec, &dsply); },
        [&](Y4_Status status) {
            __dlog_printf(kError, kTag,
                          "%s- unable to get units of measure ID due to error: %d - GddId: %d, "
                          "uofmID: %d",
                          op, status, gddId, static_cast<int>(dsply.uofmId));
        },
        [&] {
            *value = dsply.uofmId;
            return kOk;
        });
}

int ZvPldProxy::GetVelPointNormFactor(unsigned long* value, unsigned short deviceIdx,
                                      unsigned short gddId) {
    const char* op = "GetVelPointNormFactor";
    return readAttribute<&ZvPldMsgClient::GetVelPntDsplyNF>(
        op, value, deviceIdx, gddId, [=](Y4_Status status, std::uint32_t normFactor) {
            __dlog_printf(kError, kTag,
                          "%s- unable to get data point's norm factor due to error:%d - GddId: %d, "
                          "normalization factor: %ld",
                          op, status, gddId, static_cast<long>(normFactor));
        });
}

int ZvPldProxy::GetVelEnumStateInfo(std::list<int>* stateValues, std::list<std::string>* stateNames,
                                    ZvEnumStateType* stateType, unsigned long gddId,
                                    unsigned short deviceIdx) {
    const char* op = "GetVelEnumStateInfo";
    const auto engineGddId = static_cast<std::uint32_t>(gddId);
    ZvEnumStateType type{};
    std::uint16_t count = 0;
    std::uint16_t values[kMaxEnumStates] = {};
    const int result = request(
        op, kReadPassing1007,
        [&](auto& c) {
            return c.GetVelEnumStateInfo(deviceIdx, engineGddId, &type, &count, kMaxEnumStates,
                                         values);
        },
        [=](Y4_Status status) {
            __dlog_printf(kError, kTag,
                          "%s - unable to get data point's enum state information due to error: "
                          "%d - GddId: %lu  Device index :%d",
                          op, status, gddId, deviceIdx);
        },
        [] { return kOk; });
    if (result != kOk) return result;

    if (stateType != nullptr) *stateType = type;
    if (count > kMaxEnumStates) {
        __dlog_printf(kError, kTag,
                      "%s: The count of state info is greater than the Max state count due to "
                      "error:%d - GddId: %lu, Device index :%d, the count of state info :%d",
                      op, 0, gddId, deviceIdx, count);
        return kFailed;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        if (stateValues != nullptr) stateValues->push_back(values[i]);
        if (stateNames == nullptr) continue;
        const ZvVelPntEnum state{deviceIdx, engineGddId, values[i]};
        char name[kMaxEnumStates] = {};
        Y4_Status status = 0;
        const bool called = ZvPldProxyAccess::callEngine(
            status, [&](auto& c) { return c.GetVelEnumStateStr(&state, kMaxEnumStates, name); });
        if (!called) return noClient(op);
        if (status != 0) return kFailed;
        // A name that fills the buffer has no NUL: it ends with the buffer.
        stateNames->emplace_back(name, strnlen(name, kMaxEnumStates));
    }
    return kOk;
}
