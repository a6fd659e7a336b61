// What a client compiled against the header bakes into its own code: the virtual-table slot of
// each operation it calls, the table's length, and the layouts of the records it allocates or
// reads in place.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ZvPldProxy.h"

namespace {

// Under the Itanium C++ ABI a pointer to a virtual member function holds 1 + the slot's byte
// offset in its first word and 0 in its adjustment; a non-virtual function's pointer is its even
// address, which no slot matches.
template <class... F>
void ExpectSlotsFrom(std::ptrdiff_t slot, F ZvPldProxy::*... operations) {
    const std::ptrdiff_t word = sizeof(void*);
    const auto expect = [&](auto operation) {
        std::ptrdiff_t words[2];
        static_assert(sizeof operation == sizeof words, "a pointer and an adjustment");
        std::memcpy(words, &operation, sizeof words);
        EXPECT_EQ(words[0], 1 + slot * word)
            << "the operation listed for slot " << slot << " is in slot " << (words[0] - 1) / word;
        EXPECT_EQ(words[1], 0) << slot;
        ++slot;
    };
    (expect(operations), ...);
}

TEST(VirtualTable, HoldsEachOperationInItsDeclaredSlot) {
    using P = ZvPldProxy;
    // Slots 0 and 1 are the destructor's: complete, then deleting; then these in this order.
    ExpectSlotsFrom(2, &P::GetLabelString, &P::GetFullDescriptionString, &P::GetUomLabelString,
                    &P::GetValueString, &P::GetValueSInt32, &P::GetValueUInt32, &P::SetValueString,
                    &P::SetValueSInt32, &P::SetValueUInt32, &P::RegisterForPldCountChange,
                    &P::CheckPldCount, &P::RegisterForEventChange, &P::CheckEvent,
                    &P::RegisterForValueChange, &P::CheckValueChange, &P::GetMaxModuleCnt,
                    &P::GetMaxArrayDim, &P::GetVelPointAccessRights, &P::GetVelPointDataType,
                    &P::GetVelPointUoMID, &P::GetVelPointNormFactor, &P::GetMaxNmbrAncestors,
                    &P::GetPointReportNum, &P::GetHierarchyInfo, &P::GetReportLabel);
}

// The table's symbol spans the offset to the top, the type's info and one word per slot: a
// virtual function appended after the last declared one lengthens it.
TEST(VirtualTable, EndsWithTheLastDeclaredOperation) {
    const struct {
        const char* symbol;
        std::size_t slots;
    } tables[] = {{"_ZTV10ZvPldProxy", 27}, {"_ZTV20ZvAncestorInfoBufKey", 2}};
    // Nothing in this test calls the library, so the linker may have left it out: load it here.
    void* library = dlopen(ZVPLD_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const auto& t : tables) {
        void* table = dlsym(library, t.symbol);
        ASSERT_NE(table, nullptr) << t.symbol << ": " << dlerror();
        Dl_info info;
        void* entry = nullptr;
        ASSERT_NE(dladdr1(table, &info, &entry, RTLD_DL_SYMENT), 0) << t.symbol;
        const auto* sym = static_cast<const ElfW(Sym)*>(entry);
        ASSERT_NE(sym, nullptr) << t.symbol;
        EXPECT_EQ(sym->st_size / sizeof(void*), 2 + t.slots) << t.symbol;
    }
}

}  // namespace

// Clients allocate the proxy and the key, read the key's fields and the active events' records in
// place: their layouts on the target are part of the interface. A 16-bit field that padding follows
// keeps its width too: widened, its value would move on the big-endian target.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ZvPldProxy) == 60, "ZvPldProxy size");
static_assert(sizeof(ZvPldProxy::ActiveEvent) == 12 &&
                  offsetof(ZvPldProxy::ActiveEvent, eventId) == 4 &&
                  offsetof(ZvPldProxy::ActiveEvent, eventState) == 8 &&
                  sizeof(ZvPldProxy::ActiveEvent::eventState) == 2,
              "ActiveEvent layout");
// The key is not standard-layout (it has a virtual destructor); GCC places its fields after the
// table pointer all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(ZvAncestorInfoBufKey) == 16 &&
                  offsetof(ZvAncestorInfoBufKey, deviceIdx) == 4 &&
                  offsetof(ZvAncestorInfoBufKey, gddId) == 8 &&
                  offsetof(ZvAncestorInfoBufKey, mmIdx) == 12 &&
                  sizeof(ZvAncestorInfoBufKey::deviceIdx) == 2 &&
                  sizeof(ZvAncestorInfoBufKey::mmIdx) == 2,
              "ZvAncestorInfoBufKey layout");
#pragma GCC diagnostic pop
#endif
