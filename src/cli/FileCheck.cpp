// The up-front look at the HEX file: the programming job's own check, before any port opens.
#include "cli/FileCheck.h"

#include "loader/HexFile.h"
#include "loader/ProgrammingJob.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace sorbel::cli {

FileCheckResult checkHexFile(const std::string& path) {
    FileCheckResult result;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        result.message = path + ": cannot open: " + std::strerror(errno);
        return result;
    }
    if (S_ISDIR(status.st_mode)) {
        result.message = path + ": cannot open: it is a folder, not a HEX file";
        return result;
    }
    if (!S_ISREG(status.st_mode)) {
        // A FIFO would block the reading until another program writes to it, a device such
        // as /dev/zero would never end it.
        result.message = path + ": cannot open: it is not a regular file (" +
                         (S_ISFIFO(status.st_mode)   ? "a FIFO"
                          : S_ISSOCK(status.st_mode) ? "a socket"
                                                     : "a device") +
                         "), not a HEX file";
        return result;
    }
    errno = 0;
    HexFile file = openHexFile(path);
    if (file.failed()) {
        const int error = errno;
        result.message =
            path + ": cannot open: " + (error != 0 ? std::strerror(error) : "not readable");
        return result;
    }
    // The job's own check, so that the two never disagree about a file.
    const HexFileCheck check = checkHexRecords(file);
    closeHexFile(file);
    if (!check.ok) {
        result.message = path + " line " + std::to_string(check.line) + ": " + check.fault;
        return result;
    }
    result.ok = true;
    result.dataBytes = check.dataBytes;
    result.dataRecords = check.dataRecords;
    return result;
}

} // namespace sorbel::cli
