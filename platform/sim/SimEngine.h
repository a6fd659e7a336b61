// The simulated engine: answers the message client's calls from a catalogue of devices and data
// points, with the statuses of the device's engine. docs/simulated-engine.md describes both.
#ifndef ZV_SIM_ENGINE_H
#define ZV_SIM_ENGINE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZvPldEngine.h"

namespace zvsim {

// Statuses the simulated engine answers with.
enum Status : Y4_Status {
    kOk = 0,
    kUnknownDevice = 1,
    kUnknownPoint = 2,
    kBadModule = 3,
    kReadOnly = 4,
    kRejected = 5,       // value out of range or not understood, or no such unit or state
    kNoDescription = 6,  // success: the point has no description of its own, its label is sent
    kWrongType = 9,      // the point's data type does not fit the request
    kOffline = 1007,     // the device does not answer; its catalogue texts are still known
};

// What a status means, in a few words; "unknown status" for any other value.
ZV_PLD_PLATFORM_API const char* StatusText(Y4_Status status);

enum class Kind { Int, UInt, Text, Enum };

enum Access : std::uint32_t { kRead = 1, kWrite = 2 };

struct State {
    std::uint16_t value;
    std::string name;
};

struct Point {
    std::uint32_t gddId = 0;
    std::string label;
    std::string description;  // empty: none of its own
    Kind kind = Kind::Int;
    std::uint32_t accessRights = kRead;  // kRead, or kRead | kWrite
    std::uint32_t dataType = 0;
    std::uint32_t uomId = 0;
    std::uint32_t normFactor = 1;  // a power of ten: the number of decimals shown
    std::uint32_t arrayDim = 1;
    std::vector<std::string> units;  // unit label per unit-of-measure selector
    std::int64_t min = INT32_MIN;
    std::int64_t max = UINT32_MAX;
    std::uint32_t enumType = 0;
    std::vector<State> states;
    std::vector<std::int64_t> values;  // one per module: Int, UInt, Enum
    std::vector<std::string> texts;    // one per module: Text
    std::size_t modules() const { return kind == Kind::Text ? texts.size() : values.size(); }
};

struct Device {
    std::uint16_t index = 0;
    std::string name;
    bool offline = false;
    std::map<std::uint32_t, Point> points;
};

struct Catalogue {
    std::map<std::uint16_t, Device> devices;

    // Each throws std::runtime_error naming what is wrong with the catalogue.
    ZV_PLD_PLATFORM_API static Catalogue FromJson(const std::string& text);
    ZV_PLD_PLATFORM_API static Catalogue FromFile(const std::string& path);
    ZV_PLD_PLATFORM_API static Catalogue BuiltIn();
};

// A point's value as the engine renders it: numbers with the decimals of the norm factor,
// enumerations by state name.
ZV_PLD_PLATFORM_API std::string RenderValue(const Point& point, std::int64_t raw);

class ZV_PLD_PLATFORM_API SimEngine : public ZvPldEngine {
  public:
    explicit SimEngine(Catalogue catalogue);

    // "sim" or "" for the built-in catalogue, "sim:FILE" for a catalogue file; any other text
    // also gives the built-in catalogue. Throws std::runtime_error for a bad catalogue file.
    static std::shared_ptr<SimEngine> FromClientText(const char* first);

    Catalogue Snapshot() const;

    int Init() override;
    Y4_Status UnReg(int what) override;
    void Close() override;

    Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;

    Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) override;
    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                           std::uint16_t setParam) override;
    Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                             std::uint16_t setParam) override;
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                              std::uint16_t setParam) override;

    Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) override;
    std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) override;
    std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) override;

    Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                  ZvEnumStateType* type, std::uint16_t* count,
                                  unsigned int maxCount, std::uint16_t* values) override;
    Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf) override;

  private:
    // Where a request lands: the point, and the module's slot for value requests.
    struct Target {
        Y4_Status status = kOk;
        Point* point = nullptr;
        std::size_t module = 0;
    };
    enum class Need { Catalogue, Value };
    Target find(std::uint16_t deviceIdx, std::uint32_t gddId, std::uint16_t mmIdx, Need need);
    Y4_Status readNumber(const ZvVelPntDfn* pnt, std::int64_t* raw);
    Y4_Status writeNumber(const ZvVelPntDfn* pnt, std::int64_t raw);
    Y4_Status attribute(const ZvVelPntDfn* pnt, std::uint32_t Point::*field, std::uint32_t* value);

    mutable std::mutex m_mutex;
    Catalogue m_catalogue;
};

}  // namespace zvsim

#endif
