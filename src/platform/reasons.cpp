// The words for why a request failed: the program's own reasons, the same
// on every system, and the system's numbers in its own words.
#include "platform/platform.h"
#include "platform/system_reason.h"

std::wstring platformReasonText(int reason) {
    switch (reason) {
        case 0: return std::wstring();
        case FAILURE_SOURCE_CHANGED: return L"the file changed while it was copied";
        case FAILURE_NOT_PLAIN_FILE: return L"not a plain file";
        case FAILURE_LINK_REFUSED: return L"a link whose owner may not read what it names, not followed";
        case FAILURE_FOLDER_MOVED: return L"a folder on its way was moved during the run";
        case FAILURE_NAME_UNWRITABLE: return L"the name can not be written in the system's encoding";
        case FAILURE_STOPPED: return L"stopped";
        case FAILURE_GRANT_REFUSED: return L"its contents may not take in place what the run would give it";
        case FAILURE_RUNS_FOLDER_TAKEN:
            return L"the folder where this user's runs keep their locks is another user's, a link, or open to others";
        // A dry run's words for what its simulation found, as the system would say it here.
        case FAILURE_WOULD_EXIST: return L"File exists";
        case FAILURE_WOULD_BE_DIRECTORY: return L"Is a directory";
        case FAILURE_WOULD_BE_MISSING: return L"No such file or directory";
        case FAILURE_WOULD_NOT_BE_EMPTY: return L"Directory not empty";
        case FAILURE_WOULD_NOT_BE_LINK: return L"Not a link";
        case FAILURE_LINK_IN_PLACE: return L"a link, not written through";
        case FAILURE_NOT_OWN_FILE: return L"another user's file, or a file of several names, not written to";
        case FAILURE_COPY_UNVERIFIED: return L"the copy read back was not what was read from its source";
        default: return SystemReasonText(reason);
    }
}
