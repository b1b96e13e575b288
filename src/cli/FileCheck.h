// FileCheck: looks at a HEX file before any port is opened, so that a file the download
// would refuse is reported at once (exit status 4) instead of after the target answered.
//
// Contract:
//  - checkHexFile(path) refuses a file that does not open (or is not a regular file), and
//    then runs the programming job's own check (checkHexRecords), so it refuses exactly
//    what the job refuses before its first command: a line longer than the reader's line
//    buffer, a malformed record or one with a bad checksum, an extended address record that
//    sets a non-zero base, and input that ends without the end record ":00000001FF".
//  - On refusal, message names the file and, where there is one, the line:
//    "<path> line <n>: <fault>" or "<path>: cannot open: <reason>".
//  - On success it also counts the data bytes of the file (for the closing table).
#pragma once

#include <cstdint>
#include <string>

namespace sorbel::cli {

struct FileCheckResult {
    bool ok = false;
    std::string message;
    std::uint64_t dataBytes = 0;
    long dataRecords = 0;
};

FileCheckResult checkHexFile(const std::string& path);

} // namespace sorbel::cli
