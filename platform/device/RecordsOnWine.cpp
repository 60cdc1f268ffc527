// What the programs record under Wine, where no device keeps a timeline:
// each program writes its records to PROGRAM.timeline beside itself, one
// line each ("PID<TAB>EVENT<TAB>NAME=VALUE..." with tabs, newlines and
// backslashes escaped), and what it says to PROGRAM.log; the run reads
// every PROGRAM.timeline in the fixture folder as it grows. Lines are
// appended whole, a file opened and closed per line, so that a reader never
// waits for a writer.
#include "device/DesktopCalls.h"
#include "device/Programs.h"

#include "RecordFields.h"
#include "shared_objects.h"

#include <map>
#include <memory>

namespace device {

namespace {

std::wstring Beside(const wchar_t *extension) {
    const std::wstring program = ProgramPath();
    return program.substr(0, program.rfind(L'.')) + extension;
}

std::vector<std::string> Split(const std::string &line, char separator) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = line.find(separator, start);
        parts.push_back(line.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// A line as Record writes it; nothing for one it could not have written.
std::optional<Happening> Parsed(const std::string &line, const std::string &program) {
    const std::vector<std::string> parts = Split(line, '\t');
    if (parts.size() < 2) return std::nullopt;
    const std::optional<timeline::Event> event = timeline::EventNamed(parts[1]);
    if (!event) return std::nullopt;
    Happening happening{DWORD(std::strtoul(parts[0].c_str(), nullptr, 10)), program, *event, {}};
    for (size_t i = 2; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals == std::string::npos) return std::nullopt;
        happening.fields.emplace_back(record_fields::Unescape(parts[i].substr(0, equals)),
                                      record_fields::Unescape(parts[i].substr(equals + 1)));
    }
    return happening;
}

// One program's timeline, read onwards as it grows; whole lines only.
class Tail {
public:
    Tail(const std::wstring &path, std::string program) : path_(path), program_(std::move(program)) {}
    ~Tail() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    Tail(const Tail &) = delete;
    Tail &operator=(const Tail &) = delete;

    void ReadInto(std::vector<Happening> &happenings) {
        if (file_ == INVALID_HANDLE_VALUE)
            file_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char chunk[16384];
        DWORD n = 0;
        while (file_ != INVALID_HANDLE_VALUE && ReadFile(file_, chunk, sizeof chunk, &n, nullptr) && n > 0)
            partial_.append(chunk, n);
        size_t start = 0;
        for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
            if (std::optional<Happening> happening = Parsed(partial_.substr(start, end - start), program_))
                happenings.push_back(std::move(*happening));
        partial_.erase(0, start);
    }

private:
    std::wstring path_;
    std::string program_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::string partial_;
};

std::map<std::wstring, std::unique_ptr<Tail>> g_tails;  // by file name
HANDLE g_folderChanged = INVALID_HANDLE_VALUE;

}  // namespace

void Record(timeline::Event event, const Fields &fields, const std::string &said) {
    static const std::wstring timeline = Beside(L".timeline"), log = Beside(L".log");
    std::string line = std::to_string(GetCurrentProcessId()) + "\t" + timeline::Name(event);
    for (const auto &[name, value] : fields) line += "\t" + record_fields::Escape(name) + "=" + record_fields::Escape(value);
    coredll::AppendUtf8(timeline.c_str(), (Wide(line) + L"\n").c_str());
    if (!said.empty()) coredll::AppendUtf8(log.c_str(), (Wide(said) + L"\n").c_str());
}

bool RecordsPlatformCalls() { return false; }

// A program that appears later (a lock application the daemon starts) is
// found on the next call.
std::vector<Happening> NewHappenings() {
    const std::wstring folder = ProgramDir();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.timeline").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::unique_ptr<Tail> &tail = g_tails[found.cFileName];
        if (tail) continue;
        const std::wstring name = found.cFileName;
        tail = std::make_unique<Tail>(folder + name, coredll::Utf8(name.substr(0, name.rfind(L'.')).c_str()) + ".exe");
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    std::vector<Happening> happenings;
    for (auto &[name, tail] : g_tails) tail->ReadInto(happenings);
    return happenings;
}

// The folder's change notification is a hint: the timelines are read again
// after a few milliseconds at most.
void AwaitHappenings(Patience most) {
    if (g_folderChanged == INVALID_HANDLE_VALUE)
        g_folderChanged = FindFirstChangeNotificationW(
            ProgramDir().c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD wait = DWORD(std::min<long long>(most.count(), 5));
    if (g_folderChanged == INVALID_HANDLE_VALUE) Sleep(wait);
    else if (WaitForSingleObject(g_folderChanged, wait) == WAIT_OBJECT_0) FindNextChangeNotification(g_folderChanged);
}

}  // namespace device
