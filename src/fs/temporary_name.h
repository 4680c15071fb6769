// The names of a copy's temporaries: written beside the target, they carry the
// number of the process that writes them, so that a later run can tell one
// left by a dead run from one a live run is still writing.
#ifndef KORVANE_FS_TEMPORARY_NAME_H
#define KORVANE_FS_TEMPORARY_NAME_H

#include <string>

// The name of the counter-th temporary of the process.
std::wstring temporaryName(long process, unsigned counter);

// The process number a temporary's name carries, or 0 when name is no temporary's.
long temporaryOwner(const wchar_t* name);

#endif
