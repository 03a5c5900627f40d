// SPDX-License-Identifier: MIT
// Prints the settings string as this process received it, for tst_argumenttail to start with
// the command lines of its table.
#include "app/CommandLine.h"
#include "cli/Console.h"

int main(int argc, char *argv[])
{
    Console::write(stdout, CommandLine::ofThisProcess(argc, argv));
    return 0;
}
