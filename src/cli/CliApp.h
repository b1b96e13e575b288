// CliApp: sorbel-cli from its arguments to its exit status.
//
// Contract:
//  - runCli(arguments, out, err) parses the arguments, reads the settings (the named file or
//    the default one beside the executable, never written), checks the HEX file, runs one
//    PortSession per port at the same time and waits for all of them, printing through a
//    Console on out (status lines, closing table) and err (messages, bars). It returns the
//    exit status: 0 all ok, 1 a job failed, 2 usage, 3 port or connection, 4 file; with
//    several ports the worst of them; 130 when interrupted.
//  - installInterruptHandlers() makes SIGINT, SIGTERM and SIGHUP ask runCli to stop every
//    worker and return (a second signal ends the program at once), and ignores SIGPIPE.
//    requestInterrupt() does the same from code (tests).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace sorbel::cli {

inline constexpr int exitOk = 0;
inline constexpr int exitFlashError = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitConnection = 3;
inline constexpr int exitFile = 4;
inline constexpr int exitInterrupted = 130;

inline constexpr const char* programName = "sorbel-cli";

int runCli(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

void installInterruptHandlers();
void requestInterrupt();

} // namespace sorbel::cli
