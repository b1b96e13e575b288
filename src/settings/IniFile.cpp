// IniFile: the INI reader and writer behind the settings store.
//
// The file is held as a list of lines, each with its own line ending, so that a write
// changes exactly one line (or adds one or two) and hands every other byte back as it was.
//
// Reading rules:
//  - "[name]" starts a section; blanks inside the brackets and anything after ']' are
//    ignored. A line that begins with '[' but has no ']' still starts a section (its name is
//    the rest of the line), so keys below a broken header never slip into the section above.
//  - A line whose first non-blank character is ';' or '#' is a comment. A line without '='
//    is no key. Otherwise the key is the text before the first '=' and the value the text
//    after it, both without surrounding blanks; a ';' or '#' inside a value is part of it
//    (paths may hold them).
//  - When a key appears more than once, the first one counts, in the first section of that
//    name; writes change that same line.
//
// Writing: the whole file is rebuilt in a temporary file beside it, fsynced and renamed
// over the old one, then the folder is fsynced. Writers serialise on an flock of the
// settings file itself; as the rename swaps the inode under the lock, a writer that wins the
// lock re-checks that its descriptor still names the file at the path and starts again if not.
#include "settings/IniFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorbel {

namespace {

// A settings file larger than this is not one of ours: reading gives the defaults, writing
// refuses to rewrite it (rather than loading gigabytes into memory).
constexpr off_t profileFileLimit = 64 * 1024 * 1024;
// How long a writer waits for another copy of the program to finish its save.
constexpr auto profileLockWait = std::chrono::seconds(5);
constexpr auto profileLockPoll = std::chrono::milliseconds(5);

constexpr const char* blanks = " \t\r\v\f";
const char* const tempMarker = ".tmp-";

struct Line {
    std::string text;   // without its line ending
    std::string ending; // "\n", "\r\n" or "" (last line without one)
};

// RAII holder of a file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

bool sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// Reads a whole regular file. Absent file: an empty optional with errno ENOENT. A FIFO, a
// device or a folder is not read (a FIFO would block for ever).
std::optional<std::string> readWholeFile(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > profileFileLimit) {
        errno = EINVAL;
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > static_cast<std::size_t>(profileFileLimit)) {
            errno = EINVAL;
            return std::nullopt;
        }
    }
    return content;
}

std::vector<Line> splitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const auto newline = content.find('\n', start);
        if (newline == std::string::npos) {
            lines.push_back({content.substr(start), ""});
            break;
        }
        Line line{content.substr(start, newline - start), "\n"};
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.ending = "\r\n";
        }
        lines.push_back(std::move(line));
        start = newline + 1;
    }
    return lines;
}

// What one line means to the reader.
struct LineMeaning {
    enum Kind { other, section, key } kind = other;
    std::string name;  // section or key name, trimmed
    std::string value; // key lines: the raw value, trimmed (quotes not yet removed)
};

LineMeaning parseLine(std::string_view text, bool firstLine) {
    if (firstLine && text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3); // UTF-8 byte order mark written by some editors
    const auto start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos)
        return {};
    text.remove_prefix(start);
    if (text.front() == ';' || text.front() == '#')
        return {};
    if (text.front() == '[') {
        const auto close = text.find(']');
        const auto inside = text.substr(1, close == std::string_view::npos ? text.npos : close - 1);
        return {LineMeaning::section, trim(inside), {}};
    }
    const auto equals = text.find('=');
    if (equals == std::string_view::npos)
        return {};
    auto name = trim(text.substr(0, equals));
    if (name.empty())
        return {};
    return {LineMeaning::key, std::move(name), trim(text.substr(equals + 1))};
}

// Where a key lives in the file, or where it should go.
struct KeyPlace {
    std::optional<std::size_t> keyLine;     // the line holding the key
    std::optional<std::size_t> sectionLine; // the first section of that name
    std::size_t insertAfter = 0;            // last key (or header) line of that section
    std::string value;                      // raw value of the key line
};

KeyPlace findKey(const std::vector<Line>& lines, const std::string& section,
                 const std::string& key) {
    KeyPlace place;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto meaning = parseLine(lines[i].text, i == 0);
        if (meaning.kind == LineMeaning::section) {
            if (place.sectionLine)
                break; // only the first section of that name counts
            inSection = sameName(meaning.name, section);
            if (inSection) {
                place.sectionLine = i;
                place.insertAfter = i;
            }
        } else if (meaning.kind == LineMeaning::key && inSection) {
            place.insertAfter = i;
            if (sameName(meaning.name, key)) {
                place.keyLine = i;
                place.value = meaning.value;
                break;
            }
        }
    }
    return place;
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// A value as the reader hands it out: one pair of surrounding quotes removed, cut at a NUL
// byte, at most profileValueLimit characters.
std::string finishValue(std::string value) {
    if (value.size() >= 2 && isQuote(value.front()) && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (const auto nul = value.find('\0'); nul != std::string::npos)
        value.resize(nul);
    if (value.size() > profileValueLimit)
        value.resize(profileValueLimit);
    return value;
}

// A value as the writer stores it. Values that the reader would change (surrounding blanks,
// a surrounding pair of quotes) are wrapped in double quotes so that they read back as
// written; every other value is stored as it stands.
std::string storedValue(const std::string& value) {
    const bool blankEdge =
        !value.empty() && (std::string_view(blanks).find(value.front()) != std::string_view::npos ||
                           std::string_view(blanks).find(value.back()) != std::string_view::npos);
    const bool quoted =
        value.size() >= 2 && isQuote(value.front()) && value.back() == value.front();
    return (blankEdge || quoted) ? "\"" + value + "\"" : value;
}

bool safeForLine(const std::string& text) {
    return text.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// The path writes go to: a symbolic link is followed, so that the rename replaces the file
// it points at rather than the link itself.
std::string writeTarget(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Takes the writers' lock: an exclusive flock on the settings file itself. An absent file is
// created empty for the purpose (an empty file reads as an absent one) and `created` is set,
// so that a write that then fails can remove it again. Returns the locked descriptor, or -1
// when the file cannot be opened or another writer holds it longer than profileLockWait.
int lockProfile(const std::string& path, bool& created) {
    const auto deadline = std::chrono::steady_clock::now() + profileLockWait;
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    for (;;) {
        created = false;
        Descriptor fd(::open(path.c_str(), flags));
        if (fd.get() < 0 && errno == ENOENT) {
            fd.reset(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666));
            created = fd.get() >= 0;
            if (fd.get() < 0 && errno == EEXIST && std::chrono::steady_clock::now() < deadline)
                continue; // another writer created it first
        }
        if (fd.get() < 0)
            return -1;
        struct stat held {};
        if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode))
            return -1;
        while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return -1;
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(profileLockPoll);
        }
        // The previous holder may have renamed a new file over the one we locked, or
        // removed the empty file it had created.
        struct stat current {};
        if (::stat(path.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
            current.st_ino == held.st_ino)
            return fd.release();
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
    }
}

// The name of a temporary file: ".<name>.tmp-<pid>-<count>".
std::string temporaryName(const std::string& name, unsigned count) {
    return "." + name + tempMarker + std::to_string(::getpid()) + "-" + std::to_string(count);
}

bool isTemporaryOf(const std::string& entry, const std::string& name) {
    const std::string prefix = "." + name + tempMarker;
    if (!entry.starts_with(prefix))
        return false;
    const auto rest = std::string_view(entry).substr(prefix.size());
    const auto dash = rest.find('-');
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return dash != std::string_view::npos && digits(rest.substr(0, dash)) &&
           digits(rest.substr(dash + 1));
}

// Under the lock, any temporary file of ours beside the settings file was left by a writer
// that died before its rename; remove it.
void removeStaleTemporaries(const std::string& folder, const std::string& name) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const auto entry = it->path().filename().string();
        if (isTemporaryOf(entry, name))
            ::unlink((folder + "/" + entry).c_str());
    }
}

// Writes content to a new file beside target and renames it over target.
bool replaceFile(const std::string& target, const std::string& content, int lockedFd) {
    const std::string folder = folderOf(target);
    const std::string name = nameOf(target);
    removeStaleTemporaries(folder, name);

    static std::atomic<unsigned> counter{0};
    std::string temporary;
    Descriptor out;
    for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
        temporary = folder + "/" + temporaryName(name, counter++);
        out.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (out.get() < 0 && errno != EEXIST)
            return false;
    }
    if (out.get() < 0)
        return false;

    // The new file keeps the mode of the one it replaces.
    struct stat old {};
    if (::fstat(lockedFd, &old) == 0)
        ::fchmod(out.get(), old.st_mode & 07777);

    if (!writeAll(out.get(), content) || ::fsync(out.get()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    out.reset();
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

} // namespace

std::string readProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback) {
    const auto content = readWholeFile(path);
    if (!content)
        return fallback;
    const auto place = findKey(splitLines(*content), section, key);
    if (!place.keyLine)
        return fallback;
    return finishValue(place.value);
}

bool writeProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
    // A line break or NUL byte would split the line and plant other keys or sections; a
    // name with '=' or ']' or blanks at its ends could not be read back as written.
    if (path.empty() || !safeForLine(section) || !safeForLine(key) || !safeForLine(value) ||
        section.empty() || key.empty() || trim(section) != section || trim(key) != key ||
        section.find(']') != std::string::npos || key.find('=') != std::string::npos ||
        key.front() == '[' || key.front() == ';' || key.front() == '#')
        return false;

    const std::string target = writeTarget(path);
    bool created = false;
    Descriptor lock(lockProfile(target, created));
    if (lock.get() < 0)
        return false;
    // A failed first write leaves no empty file behind (we still hold the lock).
    const auto fail = [&] {
        if (created)
            ::unlink(target.c_str());
        return false;
    };

    auto content = readWholeFile(target);
    if (!content)
        return fail(); // never rewrite a file we could not read: its keys would be lost
    auto lines = splitLines(*content);

    std::string ending = "\n";
    if (!lines.empty() && lines.front().ending == "\r\n")
        ending = "\r\n";

    const auto place = findKey(lines, section, key);
    const std::string stored = storedValue(value);
    if (place.keyLine) {
        // Keep the line's indentation and the key's spelling. (A key line is never the
        // first line: a section header comes before it.)
        auto& text = lines[*place.keyLine].text;
        const auto name = parseLine(text, false).name;
        text = text.substr(0, text.find_first_not_of(blanks)) + name + "=" + stored;
    } else {
        if (!lines.empty() && lines.back().ending.empty())
            lines.back().ending = ending;
        Line keyLine{key + "=" + stored, ending};
        if (place.sectionLine) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(place.insertAfter) + 1,
                         keyLine);
        } else {
            if (!lines.empty() && !trim(lines.back().text).empty())
                lines.push_back({"", ending});
            lines.push_back({"[" + section + "]", ending});
            lines.push_back(keyLine);
        }
    }

    std::string rebuilt;
    rebuilt.reserve(content->size() + stored.size() + key.size() + 16);
    for (const auto& line : lines)
        rebuilt += line.text + line.ending;
    if (!replaceFile(target, rebuilt, lock.get()))
        return fail();
    return true;
}

} // namespace sorbel
