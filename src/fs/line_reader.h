// Reading a text file line by line, as the list file and the settings file are read.
#ifndef KORVANE_FS_LINE_READER_H
#define KORVANE_FS_LINE_READER_H

#include <cstddef>
#include <string>

// One line as read: its kept bytes (no line end), whether bytes beyond the
// kept ones were dropped, and its 1-based number in the file.
struct ReadLine {
    std::string bytes;
    bool overflowed;
    long long number;
};

// Called for each line; false stops the reading.
typedef bool (*LineHandler)(void* data, ReadLine* line);

// Reads path in chunks and hands over each line: lines end in LF, a CR before
// it is dropped, and at most keep bytes of a line are kept, so memory follows
// the longest line kept, not the file. A last line without LF is handed over
// when it holds anything. Where text files end at a Ctrl+Z (Windows), reading
// stops there. Standard input, named as the file, is read up to 256 MiB.
// False when the file cannot be opened, a read fails or that bound is met.
// *reason, when given, tells why it returned false.
bool readLines(const wchar_t* path, size_t keep, LineHandler handler, void* data, int* reason = nullptr);

#endif
