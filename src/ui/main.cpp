// korvaneui: the window program's entry.
#include <windows.h>

#include "ui/ui_context.h"

// cppcheck-suppress unusedFunction ; the system calls it
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) { return RunProgram(instance, showCommand); }
