# Writes OUTPUT, the source of korvaneVersion() and korvaneCommit(): VERSION,
# and the commit of SOURCE_DIR when it is a git checkout. Run at every build;
# the file is rewritten only when its text changes, so an unchanged checkout
# rebuilds nothing.
set(commit "")
find_program(KORVANE_GIT git)
if(KORVANE_GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${KORVANE_GIT}" -C "${SOURCE_DIR}" rev-parse --short HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  else()
    # Tracked files changed since that commit: the program is not what it names.
    execute_process(COMMAND "${KORVANE_GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND NOT changes STREQUAL "")
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()
set(text "// Written by cmake/build_info.cmake at build time.
#include \"cli/version.h\"

const wchar_t* korvaneVersion() { return L\"${VERSION}\"; }
const wchar_t* korvaneCommit() { return L\"${commit}\"; }
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
