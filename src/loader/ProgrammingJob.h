// The programming job: erase what a HEX file needs, write its data records, verify them.
//
// Contract:
//  - runProgrammingJob(host, port, settings, stop) runs on the thread that owns the port,
//    with the port open and the target loader listening; it blocks until the job is over.
//    It reads host.downloadPath() once and uses that path for every pass; massErase,
//    program and verify of settings count as on only when they are exactly "Yes".
//  - Before the first command it reads the whole file up to its end record and refuses a
//    file with a malformed line, a bad checksum, no end record or a non-zero extended
//    address base: a box "<file> line <n>: <fault>", then "Flash error." and
//    "    Check setup and try downloading again.", and nothing is sent.
//  - Then: optional mass erase, a plan pass that marks every 512-byte page a record covers,
//    the page erases, the write pass and the optional verify pass, each pass reading the
//    file anew, one line and one record at a time. Records longer than maxCommandData bytes
//    go out as several commands at consecutive addresses.
//  - Every pass must read the file that was checked, whole. The job fails ("Flash error.")
//    with a box when a pass finds the file changed since the check (device, inode, size or
//    times: "<file> changed during the download \n <step> aborted."), when a pass reaches
//    the end of the input without the end record ("<file> line <n>: the file ends without
//    an end record :00000001FF"), or when the write pass meets a record that covers a page
//    the plan did not erase (without mass erase; that record is not written).
//  - An erase that the target never acknowledges fails the job with a box: "Mass erase not
//    acknowledged \n Erase aborted." or "Erase not acknowledged at 0x<page> \n Erase
//    aborted.".
//  - It reports only through the host (status lines, progress, boxes), never touches the
//    host's flags or buttons, and returns the outcome. Once stop is requested it sends no
//    further command, calls the host no more and returns JobResult::stopped.
#pragma once

#include "loader/HexFile.h"
#include "loader/WorkerHost.h"
#include "serial/SerialPort.h"
#include "settings/DownloadSettings.h"

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

namespace sorbel {

// The last address a record may reach: address <= flashAddressLimit and
// address + count <= flashAddressLimit. The top 2 KiB hold the loader.
inline constexpr std::uint32_t flashAddressLimit = 0xF7FF;
// Page flags of the 64 KiB address space, and how many of them (from page 0) may be erased.
inline constexpr int flashPageCount = 128;
inline constexpr int erasablePageCount = 124;
// The bar moves by this much before each write or verify command.
inline constexpr int progressStep = 16;
// The most data bytes one write or verify command carries; longer records are split.
inline constexpr std::size_t maxCommandData = 128;

enum class JobResult {
    complete,      // "Download Complete."
    failed,        // "Flash error." (after its box, if any)
    fileOpenError, // the file did not open at the start: "File Open Error", no result line
    stopped,       // a stop was requested; the host was left alone from then on
};

// What the job's check found in a file, read from its current position up to its end
// record: ok, or the line (from 1) and the fault, e.g. "checksum error", "line too long",
// "the file ends without an end record :00000001FF", "address base 0x10000 is beyond the
// 64 KiB the loader addresses". Also counts the data records and their bytes.
struct HexFileCheck {
    bool ok = false;
    long line = 0;
    std::string fault;
    std::uint64_t dataBytes = 0;
    long dataRecords = 0;
};

// The job's check, for callers that want to refuse a file before a port is opened. Reads
// one line and one record at a time; no output.
HexFileCheck checkHexRecords(HexFile& file);

JobResult runProgrammingJob(WorkerHost& host, SerialPort& port, const DownloadSettings& settings,
                            std::stop_token stop = {});

} // namespace sorbel
