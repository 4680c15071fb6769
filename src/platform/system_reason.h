// Between the platform's shared part and its files for one system: the
// system's own words for its own numbers of a failure.
#ifndef KORVANE_PLATFORM_SYSTEM_REASON_H
#define KORVANE_PLATFORM_SYSTEM_REASON_H

#include <string>

// The system's words for reason, a number of its own (errno on POSIX, a
// Win32 error code or a runtime's errno on Windows), as its locale writes them.
std::wstring SystemReasonText(int reason);

#endif
