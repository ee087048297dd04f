// Reports messages through log_report in a fresh process, for the console
// echo tests: log_probe <log directory> <level> <message> [<level> <message>]...
// then writes "END" to standard output.

#include <cstdio>
#include <cstdlib>

#include "vovedi/log.h"

int main(int argc, char **argv)
{
    if (argc < 2 || log_set_directory(argv[1]) != 0)
        return 2;
    for (int i = 2; i + 1 < argc; i += 2)
        log_report(atoi(argv[i]), "%s", argv[i + 1]);
    printf("END\n");
    fflush(stdout);
    return 0;
}
