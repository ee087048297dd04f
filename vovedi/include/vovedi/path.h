/*
 * Installation paths: the root of the installation tree, found once per
 * process, and the sixteen standard directories under it. Every text uses
 * "/" as its separator.
 */
#ifndef VOVEDI_PATH_H
#define VOVEDI_PATH_H

#include "common.h"

VV_BEGIN_DECL

/* Directory slots of path_dir. Slots 5 and 9 both name "/misc/". */
enum {
    PATH_DIR_ROOT = 0,           /* "/" */
    PATH_DIR_BIN = 1,            /* "/bin/" */
    PATH_DIR_CGI_BIN = 2,        /* "/web/cgi-bin/" */
    PATH_DIR_CONF = 3,           /* "/conf/" */
    PATH_DIR_DATA = 4,           /* "/data/" */
    PATH_DIR_MISC = 5,           /* "/misc/" */
    PATH_DIR_LIB = 6,            /* "/lib/" */
    PATH_DIR_LIBEXEC = 7,        /* "/libexec/" */
    PATH_DIR_LOG = 8,            /* "/log/" */
    PATH_DIR_MISC_2 = 9,         /* "/misc/" */
    PATH_DIR_PLUGINS_RELAY = 10, /* "/plugins/relay/" */
    PATH_DIR_SBIN = 11,          /* "/sbin/" */
    PATH_DIR_WEB = 12,           /* "/web/" */
    PATH_DIR_PLUGINS_VAULT = 13, /* "/plugins/vault/" */
    PATH_DIR_REPORTS = 14,       /* "/reports/" */
    PATH_DIR_DATA_EXPORT = 15,   /* "/dataExport/" */
    PATH_DIR_COUNT = 16
};

/*
 * Find the root, once per process; later calls do nothing. The root comes
 * from CORVEX_DIR (its "\" turned into "/"), else from SCRIPT_FILENAME
 * through path_root_from_program, else, when look_at_program is not 0, from
 * where the running program lives; otherwise it stays unknown. The root and
 * the directory table are released at the default pool's shutdown. Meant to
 * run during start-up, before other threads use paths.
 */
void path_init(int look_at_program);

/* The root, or "/" when none is known. Owned by the module. */
const char *path_root(void);

/*
 * The directory of a slot: the root (or "/") followed by the slot's text,
 * e.g. "C:/prod/log/" for PATH_DIR_LOG. An index outside 0..15 gives
 * path_root(). Owned by the module and valid until path_init replaces the
 * table or the default pool shuts down; null when memory ran out (a later
 * call tries again).
 */
const char *path_dir(int index);

/*
 * The slot's own text ("/log/" for PATH_DIR_LOG), a constant; null for an
 * index outside 0..15. Lets a caller join it with path_root() without
 * allocating.
 */
const char *path_dir_name(int index);

/*
 * New text: the root derived from a program's path. The text before the
 * first "/bin/", else "/sbin/", else "/web/cgi-bin/" ("/" when the match
 * begins the path); else the directory two levels above the program's own
 * directory followed by "/release/nt", when that directory exists; else
 * "/". Released with VV_FREE. Null with errno EINVAL for a null path, ENOMEM
 * when memory runs out.
 */
char *path_root_from_program(const char *program);

/*
 * New text: the first existing "<entry>/<name>" over the PATH entries and
 * then ".", where "." is the current directory, ".." its parent and an empty
 * entry the current directory; a copy of the name when none exists or PATH
 * is not set. Released with VV_FREE. Null with errno EINVAL for a null
 * name, ENOMEM when memory runs out.
 */
char *path_search(const char *name);

/* Turn every "/" and "\" of text into separator, in place; null is ignored. */
void path_slashes(char *text, char separator);

VV_END_DECL

#endif
