// The checks both runs make before any change, and how a refusal is told.
#ifndef KORVANE_ENGINE_RUN_CHECKS_H
#define KORVANE_ENGINE_RUN_CHECKS_H

#include "text/wide_string.h"

// The checks both runs make on their two folders, in order; RUN_OK when all
// pass, otherwise the code, with its error line written and shown.
int validateFolders(const WideString& fromFolder, const WideString& toFolder);

// True when the From Folder lies inside the To Folder, by text or on disk.
bool sourceInsideDestination(const WideString& fromFolder, const WideString& toFolder);

// Puts message in messageText, reports it as an error and returns code.
int refuse(int code, const WideString& message);

// Writes runContext.messageText as an error line and shows it in red.
void reportError();

#endif
