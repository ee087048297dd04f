// Prints the installation root found from where this program lives, for the
// path tests, which run copies of it from different directories.

#include <cstdio>

#include "vovedi/path.h"

int main()
{
    path_init(1);
    printf("%s\n", path_root());
    return 0;
}
