// The temporaries of copies in To: those a run still going writes are left
// alone, those that runs now gone left behind are swept, as the records of
// this user's runs prove them; a name alone proves nothing.
#ifndef KORVANE_ENGINE_TEMPORARIES_H
#define KORVANE_ENGINE_TEMPORARIES_H

#include "fs/changes.h"
#include "text/wide_string.h"

// True when path names a temporary a run still going is writing, as the
// records of this user's runs prove it (this process's own included).
bool isLiveTemporary(const WideString& path);

// True when path names a temporary that a run now gone left behind, as the
// records of this user's runs prove it; a name alone proves nothing.
bool isDeadTemporary(const WideString& path);

// Deletes, in a directory of the To Folder, the temporaries that copies of
// runs now gone left there (isDeadTemporary) and that its counterpart in
// From plainly lacks; a live run's and every other entry stay, whatever its
// name. Deleted through changes; nothing of it is counted or logged; true
// when anything was deleted.
bool removeDeadTemporaries(Changes* changes, const WideString& directory, const WideString& counterpart);

#endif
