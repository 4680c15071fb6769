// List files, as any bytes a list file may hold.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/list_run.h"
#include "engine/run_context.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ListLineFault> faults;
    int count = readListFile(fuzzFile(data, size), &faults);
    if (count >= 0 && static_cast<size_t>(count) != runContext.listEntries.count) __builtin_trap();
    std::wstring units;
    for (PackedAt at = 0; NextPacked(runContext.listEntries, &at, &units);) {
        listEntryLeavesFolder(WideString(units.c_str()));
    }
    return 0;
}
