// Rules and the paths they judge: a pattern, a NUL, then a path of at most a
// path's length.
#include <cstdint>
#include <string>

#include "engine/rule.h"
#include "engine/run_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string pattern = input.substr(0, split);
    std::string path = split == std::string::npos ? std::string("/some/path.txt") : input.substr(split + 1);
    if (path.size() > 4096) path.resize(4096);
    path = path.c_str();  // a path ends at its first NUL
    runContext.ruleActive = true;
    runContext.ruleExcludes = size % 2 == 0;
    if (compileRule(WideString(pattern.c_str()))) isFilteredOut(WideString(path.c_str()));
    return 0;
}
