// Fuzzes the INI layer the way the settings store uses it: an arbitrary file is read, one
// key is written, and the file is read again. The file lives in a folder of its own on a
// memory file system where one exists, so the writer's fsync and rename cost little.
//
// What must hold, whatever the file holds:
//  - a write that the contract refuses (line breaks, NUL bytes, names that could not be read
//    back) leaves the file byte for byte as it was; any other write succeeds;
//  - the key then reads back as the value written (cut to the reader's 1023 characters);
//  - every other line is kept: a key that was there changes exactly one line; a key that was
//    not adds its own line and at most a blank line and the section header, and every old
//    line is still there, in order (the last one may gain a line ending);
//  - a second write of the same value changes nothing.
#include "settings/IniFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

using namespace sorbel;

std::string folder;
std::string path;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void writeFile(const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0);
    check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    ::close(fd);
}

std::string readFile() {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    char buffer[65536];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

std::vector<std::string> lines(const std::string& content) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto newline = content.find('\n', start);
        if (newline == std::string::npos) {
            out.push_back(content.substr(start));
            return out;
        }
        out.push_back(content.substr(start, newline - start));
        start = newline + 1;
    }
}

constexpr std::string_view blanks = " \t\r\v\f";

bool blankEdged(const std::string& text) {
    return !text.empty() && (blanks.find(text.front()) != std::string_view::npos ||
                             blanks.find(text.back()) != std::string_view::npos);
}

bool hasBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string::npos;
}

// The writer's contract for what it refuses.
bool refused(const std::string& section, const std::string& key, const std::string& value) {
    return hasBreakOrNul(section) || hasBreakOrNul(key) || hasBreakOrNul(value) ||
           section.empty() || key.empty() || blankEdged(section) || blankEdged(key) ||
           section.find(']') != std::string::npos || key.find('=') != std::string::npos ||
           key.front() == '[' || key.front() == ';' || key.front() == '#';
}

// A text that no value can read back as: values never hold a line break.
const std::string absent = "\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/sorbel-ini-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    path = folder + "/s.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    // Mostly the store's own section and keys, so that the file's text meets them often.
    static const char* const keys[] = {"File", "Port", "Baud", "MassErase", "Verify", "port"};
    const std::uint8_t choice = input.ConsumeIntegral<std::uint8_t>();
    const std::string section =
        (choice & 0x80) != 0 ? input.ConsumeRandomLengthString(16) : std::string("Sorbel");
    const std::string key =
        (choice & 0x40) != 0 ? input.ConsumeRandomLengthString(16) : keys[choice % 6];
    const std::string value = input.ConsumeRandomLengthString(1100);
    const std::string before = input.ConsumeRemainingBytesAsString();
    writeFile(before);

    const std::string oldValue = readProfileString(path, section, key, absent);
    const bool written = writeProfileString(path, section, key, value);
    const std::string after = readFile();

    if (refused(section, key, value)) {
        check(!written);
        check(after == before);
        return 0;
    }
    check(written);
    const std::string expected = value.substr(0, profileValueLimit);
    check(readProfileString(path, section, key, absent) == expected);

    const auto old = lines(before);
    const auto now = lines(after);
    if (oldValue != absent) {
        // Exactly the key's line changed.
        check(old.size() == now.size());
        std::size_t changed = 0;
        for (std::size_t i = 0; i < old.size(); ++i) {
            changed += old[i] != now[i] ? 1 : 0;
        }
        check(changed <= 1);
    } else {
        // Every old line, in order; besides them only the key's line, a blank line and the
        // section header, and the empty piece after a line ending given to the old last line.
        check(now.size() >= old.size() + 1 && now.size() <= old.size() + 4);
        std::size_t matched = 0;
        for (std::size_t i = 0; i < now.size() && matched < old.size(); ++i) {
            // The old last line may have been given a CR LF ending: its piece gains the CR.
            const bool last = matched + 1 == old.size();
            if (now[i] == old[matched] || (last && now[i] == old[matched] + "\r")) {
                ++matched;
            }
        }
        check(matched == old.size());
    }

    // Writing the same value again is a no-op on the file's bytes.
    check(writeProfileString(path, section, key, value));
    check(readFile() == after);
    return 0;
}
