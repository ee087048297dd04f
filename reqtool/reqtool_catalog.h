// The API catalog from the command line: --list-apis and --describe.
#pragma once

// Print the display names of the catalog's APIs, one a line, in the
// catalog's order: all of them, or those matching any of the count
// patterns. A pattern holding "*", "?" or "[" is a shell pattern for the
// whole name, any other is a part of the name; letter case does not
// count. Returns 0; 1 after a message on standard error when nothing
// matches.
int reqtool_catalog_list(char *const patterns[], int count);

// Print the inputs (name, type, required or optional, password) and
// outputs of the API called name (display or catalog name), then a command
// line that calls it. Returns 0; 1 after a message when the catalog has no
// such API.
int reqtool_catalog_describe(const char *name);
