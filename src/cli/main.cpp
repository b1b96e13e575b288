// sorbel-cli: the command-line twin of the desktop program.
#include "cli/CliApp.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    sorbel::cli::installInterruptHandlers();
    return sorbel::cli::runCli(arguments, stdout, stderr);
}
