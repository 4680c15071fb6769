// Shared by the fuzz targets: the input as a file on disk.
#ifndef KORVANE_TESTS_FUZZ_SUPPORT_H
#define KORVANE_TESTS_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "text/wide_string.h"

// Writes the input to this process's scratch file and names it.
inline WideString fuzzFile(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/korvane-fuzz-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    std::wstring wide(path.begin(), path.end());
    return WideString(wide.c_str());
}

#endif
