// Lines read from a file in bounded pieces, a line too long cut and marked as such.
#include "fs/line_reader.h"

#include <cstdio>

#include "base/text_file.h"
#include "base/separator.h"
#include "platform/platform.h"

// Most bytes taken of standard input named as the file: it may never end.
const unsigned long long kStreamBytesMax = 256ULL << 20;

bool readLines(const wchar_t* path, size_t keep, LineHandler handler, void* data, int* reason) {
    bool stream = false;
    int why = 0;
    FILE* file = platformOpenRead(path, &stream, &why);
    if (reason) *reason = why;
    if (!file) return false;
    unsigned long long taken = 0;
    ReadLine line{std::string(), false, 1};
    char chunk[8192];
    size_t got;
    bool going = true;
    bool ended = false;
    while (going && !ended && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        taken += got;
        if (stream && taken > kStreamBytesMax) {
            std::fclose(file);
            return false;
        }
        for (size_t i = 0; i < got && going; ++i) {
            char byte = chunk[i];
            if (TEXT_ENDS_AT_CTRL_Z && byte == '\x1A') {
                ended = true;
                break;
            }
            if (byte != '\n') {
                if (line.bytes.size() < keep) {
                    line.bytes.push_back(byte);
                } else {
                    line.overflowed = true;
                }
                continue;
            }
            if (!line.bytes.empty() && line.bytes.back() == '\r') line.bytes.pop_back();
            going = handler(data, &line);
            line.bytes.clear();
            line.overflowed = false;
            ++line.number;
        }
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return false;
    if (going && (!line.bytes.empty() || line.overflowed)) {
        if (!line.bytes.empty() && line.bytes.back() == '\r') line.bytes.pop_back();
        handler(data, &line);
    }
    return true;
}
