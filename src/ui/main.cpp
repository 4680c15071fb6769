// korvaneui: the window program's entry.
#include <windows.h>

#include "ui/ui_context.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) { return RunProgram(instance, showCommand); }
