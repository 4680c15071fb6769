// The codes the runs answer with and the kinds of what they show, grouped by
// family; the front ends read them as the engine does.
#ifndef KORVANE_ENGINE_RUN_CODES_H
#define KORVANE_ENGINE_RUN_CODES_H

// Kinds of a status text.
#define STATUS_INFO 1
#define STATUS_NOTICE 2
#define STATUS_ERROR 4

// Results of the folder run and the list run.
#define RUN_OK 0
#define RUN_HAD_ERRORS (-99)
#define RUN_DECLINED (-100)
#define RUN_NO_SOURCE (-101)
#define RUN_DEST_IS_DRIVE (-103)
#define RUN_NO_DEST (-104)
#define RUN_SAME_FOLDERS (-105)
#define RUN_DEST_INSIDE_SOURCE (-106)
#define RUN_NO_LIST_FILE (-107)
#define RUN_LIST_READ_ERROR (-108)
#define RUN_BAD_RULE (-109)
#define RUN_SOURCE_INSIDE_DEST (-110)
#define RUN_DEST_LOCKED (-111)
#define RUN_DEST_UNSAFE (-112)
#define RUN_DELETES_HELD (-113)
#define RUN_EMPTY_SOURCE (-114)
#define RUN_BAD_VERSIONS (-115)
#define RUN_REPLACES_HELD (-116)
#define RUN_SOURCE_UNSAFE (-120)
#define RUN_STORE_UNSAFE (-121)
#define RUN_NO_VERSION (-122)
#define RUN_DEST_UNOPENED (-123)
#define RUN_SOURCE_UNOPENED (-124)

// Results of a directory walk.
#define WALK_OK 0
#define WALK_BROKEN (-1)
#define WALK_FIND_ERROR (-2)
#define WALK_NO_HANDLER (-3)
#define WALK_CLOSE_ERROR (-4)

#endif
