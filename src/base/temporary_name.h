// The names of a copy's temporaries: written beside the target, they carry the
// number of the process that writes them, so that a later run can tell one
// left by a dead run from one a live run is still writing.
#ifndef KORVANE_BASE_TEMPORARY_NAME_H
#define KORVANE_BASE_TEMPORARY_NAME_H

#include <string>

#ifdef _WIN32
#define TEMPORARY_TAG L"w"  // marks our temporaries: their process numbers are Windows'
#else
#define TEMPORARY_TAG L""  // marks our temporaries: their process numbers are the system's
#endif

// The name of the counter-th temporary of the process.
std::wstring temporaryName(long process, unsigned counter);

// The process number a temporary's name carries, or 0 when name is no temporary's.
long temporaryOwner(const wchar_t* name);

#endif
