// korvane: brings a To Folder up to date with a From Folder from the command line.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platformGuardStandardStreams();
    platformSetUserLocale();
    platformKeepRunningPastFileLimits();
    std::vector<std::wstring> arguments;
    platformCommandLine(argc, argv, &arguments);
    return runCommandLine(arguments);
}
