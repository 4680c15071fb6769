// The string type's conversions and substring bounds.
#include <cstdint>
#include <cstring>
#include <string>

#include "text/wide_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    int32_t first;
    int32_t second;
    std::memcpy(&first, data, 4);
    std::memcpy(&second, data + 4, 4);
    std::string bytes(reinterpret_cast<const char*>(data + 8), size - 8);
    WideString wide(bytes.c_str());
    NarrowString narrow = wide.ToNarrow();
    if (narrow.length != static_cast<int32_t>(std::strlen(narrow.buffer))) __builtin_trap();
    NarrowString lossy = ToNarrowLossy(wide);
    if (wide.length > 0 && narrow.length > 0 && std::strcmp(narrow.buffer, lossy.buffer) != 0) __builtin_trap();
    for (const WideString& part : {WideString::Mid(wide, first, second), wide.Left(first), wide.Tail(first)}) {
        if (part.length < 0 || part.length > wide.length) __builtin_trap();
        if (part.length != static_cast<int32_t>(std::wcslen(part.buffer))) __builtin_trap();
    }
    WideString number(first);
    WideString lower = wide.ToLower();
    if (lower.length != wide.length) __builtin_trap();
    WideString joined = wide + lower;
    joined += wide;
    joined.FindLastSeparator();
    joined.EndsWith(wide);
    return 0;
}
