// reqtool: perform one CORAPI call from the command line and print the result.
#include "reqtool_flow.h"

int main(int argc, char *argv[])
{
    return reqtool_run(argc, argv);
}
