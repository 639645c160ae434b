// The runner of the call tables (script.h); the tables live beside it, one file per theme.
#include "tests/platform/script.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/host/host.h"
#include "platform/host/internal.h"
#include "tests/support/expect.h"

namespace platform_script {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::FileText;

namespace {

constexpr DWORD kSentinel = 0xBEEF;
constexpr int64_t kBootTicks = 134409330000000000;  // 2026-12-05T08:30:00Z, every clock's start
const std::string kLetters = "rhsadn";
const DWORD kBits[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,    FILE_ATTRIBUTE_SYSTEM,
                       FILE_ATTRIBUTE_ARCHIVE,  FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_NORMAL};

void Add(std::string &text, const std::string &part, const char *separator)
{
    text += (text.empty() ? "" : separator) + part;
}

std::string Expand(const std::string &text)
{
    std::string out;
    for (size_t i = 0, end; i < text.size(); ++i) {
        if (text[i] != '{' || (end = text.find('}', i)) == std::string::npos) {
            out += text[i];
            continue;
        }
        size_t count = std::stoul(text.substr(i + 1));
        char kind = text[end - 1];
        out += kind == 'p'   ? Pattern(count)
               : kind == 'w' ? qs_test::Wave(uint32_t(count))
                             : std::string(count, kind);
        i = end;
    }
    return out;
}

DWORD Bits(const std::string &letters)
{
    DWORD bits = 0;
    for (char c : letters)
        bits |= kBits[kLetters.find(c)];
    return bits;
}

// What the progress routine saw: the bytes of each report, and how it answers the K-th.
struct Progress {
    uint64_t size = 0;
    size_t answerOn = 0;
    std::string answer, reports;
    BOOL cancel = FALSE;
    size_t count = 0;
};

DWORD CALLBACK Record(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER streamSize,
                      LARGE_INTEGER streamDone, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data)
{
    auto &p = *static_cast<Progress *>(data);
    bool sizes = uint64_t(total.QuadPart) == p.size && streamSize.QuadPart == total.QuadPart &&
                 streamDone.QuadPart == done.QuadPart;
    Add(p.reports,
        std::to_string(done.QuadPart) + (reason == CALLBACK_STREAM_SWITCH ? "s" : "") +
            (sizes ? "" : "?"),
        ",");
    if (++p.count != p.answerOn)
        return PROGRESS_CONTINUE;
    // PROGRESS_CONTINUE, PROGRESS_CANCEL, PROGRESS_STOP and PROGRESS_QUIET are 0 to 3; "flag"
    // answers PROGRESS_CONTINUE with the cancel flag set.
    const std::vector<std::string> answers = {"continue", "cancel", "stop", "quiet"};
    p.cancel = p.answer == "flag";
    return DWORD(std::find(answers.begin(), answers.end(), p.answer) - answers.begin()) % 4;
}

// Takes the first argument from `from` on that starts with the prefix, if there is one.
std::optional<std::string> Option(std::vector<std::string> &args, const std::string &prefix,
                                  size_t from)
{
    for (size_t i = from; i < args.size(); ++i)
        if (args[i].starts_with(prefix)) {
            std::string value = args[i].substr(prefix.size());
            args.erase(args.begin() + i);
            return value;
        }
    return std::nullopt;
}

// The temporary folder reached through a symbolic link: links above root/ are the host's
// business, and a device folder beneath one works as any other.
struct LinkedTemp {
    LinkedTemp() : real(fs::temp_directory_path() / ("qs-world-" + std::to_string(::getpid())))
    {
        fs::create_directories(real);
        fs::create_directory_symlink(real, link);
    }
    ~LinkedTemp()
    {
        std::error_code ignored;
        fs::remove(link, ignored);
        fs::remove_all(real, ignored);
    }
    fs::path real, link = real.string() + "-link";
};

const std::map<std::string, std::function<BOOL(LPCWSTR, LPCWSTR)>> kPathCalls = {
    {"move", [](LPCWSTR a, LPCWSTR b) { return MoveFileW(a, b); }},
    {"del", [](LPCWSTR a, LPCWSTR) { return DeleteFileW(a); }},
    {"mkdir", [](LPCWSTR a, LPCWSTR) { return CreateDirectoryW(a, NULL); }},
    {"rmdir", [](LPCWSTR a, LPCWSTR) { return RemoveDirectoryW(a); }},
    {"play", [](LPCWSTR a, LPCWSTR) { return PlaySoundW(a, NULL, 0); }}};
// The entries every row starts from; "^" is the folder outside the device folder.
const char kWorld[] =
    "lay /d/f.txt 0123456789; lay /d/g.txt g; lay /d/sub/x.txt x; lay /d/cue.wav {5w}; "
    "lay /d/app.exe MZ; lay /e/; lay /dir/A.TXT x; lay /dir/b.txt x; lay /dir/c.dat x; "
    "lay /dir/noext x; lay /dir/Sub/; lay /NAND/ok.txt ok; lay ^secret.txt secret; "
    "lay ^dir/inner.txt inner; lay ^dir/prog.exe MZ; lay ^dir/cue.wav {10w}; lay ^dir/sub/";
// CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING are 1 to 5.
const std::vector<std::string> kDispositions = {"", "new", "always", "ex", "oa", "tr"};

}  // namespace

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char('a' + (i / 65536) * 3 + i % 3);
    return data;
}

std::string Show(const std::string &data)
{
    std::string size = std::to_string(data.size());
    auto printable = [](char c) { return c >= 0x20 && c < 0x7F; };
    if (data.size() <= 16 && std::all_of(data.begin(), data.end(), printable))
        return data;
    if (data.find_first_not_of(data[0]) == std::string::npos && printable(data[0]))
        return "{" + size + data[0] + "}";
    std::string pattern = Pattern(data.size());
    size_t k = std::mismatch(data.begin(), data.end(), pattern.begin()).first - data.begin();
    if (k == data.size())
        return "{" + size + "p}";
    if (data[k] == char(~pattern[k]) && data.compare(k + 1, std::string::npos, pattern, k + 1) == 0)
        return "{" + size + "p^" + std::to_string(k) + "}";
    return "<" + size + " bytes>";
}

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

std::string RowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

World::World(const std::string &deviceJson)
{
    json description = json::parse(deviceJson), testFaults = description.value("tst", json());
    description.erase("tst");
    static LinkedTemp temp;
    const char *tmpdir = std::getenv("TMPDIR");
    std::string saved = tmpdir ? tmpdir : "";
    ::setenv("TMPDIR", temp.link.c_str(), 1);
    device_ = std::make_unique<qs_test::TempDevice>(description);
    tmpdir ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    qs_test::TempDevice &d = *device_;
    EXPECT_TRUE(d.folder().string().starts_with(temp.link.string()));
    outside_ = d.folder().string() + "-outside";
    Script(*this).Run(kWorld);
    fs::create_symlink(outside_ / "secret.txt", d.Host("\\NAND\\x"));
    fs::create_directory_symlink(outside_ / "dir", d.Host("\\NAND\\d"));
    fs::create_directory_symlink(outside_ / "dir", d.Host("\\vol"));
    ::mkfifo(d.Host("\\NAND\\pipe").c_str(), 0666);
    if (testFaults.is_array()) {
        std::vector<sim::FaultSpec> faults;
        for (const json &fault : testFaults)
            faults.push_back(sim::FaultSpec::FromJson(fault, "tst"));
        auto driver = std::make_unique<qs_test::TestDriver>(faults);
        driver_ = driver.get();
        d.device().AddDriver(std::move(driver));
    }
}

World::~World()
{
    device_.reset();
    std::error_code ignored;
    fs::remove_all(outside_, ignored);
}

std::map<std::string, std::string> World::Snapshot() const
{
    std::map<std::string, std::string> seen;
    for (const auto &[top, prefix] : {std::pair{device_->Host("\\"), ""}, {outside_, "^"}})
        for (const auto &entry : fs::recursive_directory_iterator(top)) {
            fs::file_type type = entry.symlink_status().type();
            std::string &value = seen[prefix + entry.path().lexically_relative(top).string()];
            if (type == fs::file_type::regular)
                value = entry.file_size() > (1u << 24) ? "=<big>" : "=" + Show(FileText(entry));
            else
                value = type == fs::file_type::directory ? "/"
                        : type == fs::file_type::symlink ? "@"
                                                         : "|";
        }
    return seen;
}

std::string Changes(const std::map<std::string, std::string> &before,
                    const std::map<std::string, std::string> &after)
{
    std::map<std::string, std::string> changes;
    for (const auto &[key, value] : before)
        if (!after.contains(key))
            changes[key] = "-" + key + (value == "/" ? "/" : "");
    for (const auto &[key, value] : after)
        if (!before.contains(key) || before.at(key) != value)
            changes[key] = (before.contains(key) ? "~" : "+") + key + value;
    std::string text;
    for (const auto &[key, change] : changes)
        Add(text, change, " ");
    return text;
}

std::string Journal(qs_test::TempDevice &device)
{
    std::string text;
    const auto &events = device.device().Events().Events();
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i]["seq"], i + 1) << "numbered from 1 without gaps";
        if (events[i]["event"] == "log")
            continue;
        std::string line = events[i]["event"];
        for (const auto &[key, value] : events[i].items())
            if (key != "seq" && key != "t" && key != "event" && value != "")
                line += " " + (value.is_string() ? value.get<std::string>() : value.dump());
        if (events[i]["t"] != 0)
            line += "@" + events[i]["t"].dump();
        std::replace(line.begin(), line.end(), '\\', '/');
        for (size_t at; (at = line.find('\n')) != std::string::npos;)
            line.replace(at, 1, "\\n");
        Add(text, line, "|");
    }
    return text;
}

void *Script::Take(const std::optional<std::string> &at)
{
    if (at == "null")
        return NULL;
    if (at == "again")
        return closed_;
    if (at == "inv" || held_.empty())
        return INVALID_HANDLE_VALUE;
    return held_[at ? std::stoul(*at) : held_.size() - 1].value;
}

std::optional<Script::Answer> Script::Call(std::vector<std::string> &args)
{
    qs_test::TempDevice &device = world_.device();
    const std::string call = args[0];
    std::optional<std::string> at = Option(args, "@", 1);
    std::string a1 = args.size() > 1 ? args[1] : "", a2 = args.size() > 2 ? args[2] : "";
    std::u16string p1 = ce_host::FromUtf8(Expand(a1)), p2 = ce_host::FromUtf8(Expand(a2));
    auto done = [](bool ok, const std::string &out = "") { return Answer{ok, out}; };
    // Forgets a handle or block that its call has released.
    auto drop = [&](void *value, bool released) {
        if (released)
            closed_ = value;
        std::erase_if(held_, [&](const Held &h) { return released && h.value == value; });
        return released;
    };

    if (kPathCalls.contains(call))
        return done(kPathCalls.at(call)(p1.c_str(), p2.c_str()));
    if (call == "attr")
        return done(SetFileAttributesW(p1.c_str(), Bits(a2)));
    if (call == "open" || call == "hold") {
        std::optional<std::string> share = Option(args, "s", 4), flags = Option(args, "f", 4);
        DWORD access = (a2.find('r') != std::string::npos ? GENERIC_READ : 0) |
                       (a2.find('w') != std::string::npos ? GENERIC_WRITE : 0);
        HANDLE h =
            CreateFileW(p1.c_str(), access, share ? std::stoul(*share) : 0, NULL,
                        DWORD(std::find(kDispositions.begin(), kDispositions.end(), args[3]) -
                              kDispositions.begin()),
                        flags ? Bits(*flags) : 0x80, NULL);
        DWORD error = GetLastError();
        if (h != INVALID_HANDLE_VALUE && call == "hold")
            held_.push_back({h, 'h'});
        bool closed = h == INVALID_HANDLE_VALUE || call == "hold" || CloseHandle(h);
        SetLastError(error);
        return done(h != INVALID_HANDLE_VALUE, closed ? "" : "?");
    }
    if (call == "close") {
        HANDLE h = Take(at);
        return done(drop(h, CloseHandle(h)));
    }
    if (call == "read" || call == "readnull") {
        std::string buffer(std::stoul(a1), '-');
        DWORD read = kSentinel;
        BOOL ok = ReadFile(Take(at), buffer.data(), DWORD(buffer.size()),
                           call == "read" ? &read : NULL, NULL);
        if (read != kSentinel)
            buffer.resize(read);
        return done(ok, read == kSentinel && call == "read" ? "?" : Show(buffer));
    }
    if (call == "write" || call == "writenull") {
        std::string text = Expand(a1);
        DWORD written = kSentinel;
        BOOL ok = WriteFile(Take(at), text.data(), DWORD(text.size()),
                            call == "write" ? &written : NULL, NULL);
        return done(ok, written == kSentinel ? "" : std::to_string(written));
    }
    if (call == "seek") {
        std::optional<std::string> high = Option(args, "h", 2);
        LONG highWord = high ? std::stol(*high) : 0;
        DWORD method = a2 == "cur" ? FILE_CURRENT : a2 == "end" ? FILE_END : FILE_BEGIN;
        DWORD to = SetFilePointer(Take(at), std::stol(a1), high ? &highWord : NULL, method);
        bool ok = to != INVALID_SET_FILE_POINTER;
        return done(ok,
                    !ok ? "" : std::to_string(to) + (high ? "/" + std::to_string(highWord) : ""));
    }
    if (call == "size") {
        DWORD high = kSentinel, low = GetFileSize(Take(at), &high);
        return done(low != INVALID_FILE_SIZE, std::to_string(low) + "/" + std::to_string(high));
    }
    if (call == "find" || call == "stat") {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(p1.c_str(), &data);
        std::string out;
        auto ms = [](const FILETIME &t) {
            int64_t ticks = (int64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
            return std::to_string((ticks - kBootTicks) / 10000);
        };
        // A name found by a call that changed the last error is marked "!".
        for (bool found = search != INVALID_HANDLE_VALUE; found;
             found = call == "find" && FindNextFileW(search, &data)) {
            DWORD attributes = data.dwFileAttributes;
            std::string name = ce_host::ToUtf8(ce_host::View(data.cFileName));
            if (attributes != FILE_ATTRIBUTE_NORMAL && attributes != FILE_ATTRIBUTE_DIRECTORY) {
                name += "[";
                for (size_t i = 0; i < kLetters.size(); ++i)
                    name += attributes & kBits[i] ? kLetters.substr(i, 1) : "";
                name += "]";
            }
            if (call == "stat")
                name += "," +
                        std::to_string((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) +
                        ",c" + ms(data.ftCreationTime) + ",w" + ms(data.ftLastWriteTime);
            Add(out, name + (GetLastError() == kSentinel ? "" : "!"), ",");
        }
        DWORD error = GetLastError();
        if (search != INVALID_HANDLE_VALUE && !FindClose(search))
            out += "?";
        SetLastError(error);
        return done(search != INVALID_HANDLE_VALUE, out);
    }
    if (call == "copy") {
        Progress progress;
        std::error_code ignored;
        progress.size = fs::file_size(device.Host(Expand(a1)), ignored);
        bool show = false, fail = false, reports = false;
        rlim_t limit = 0;
        for (size_t i = 3; i < args.size(); ++i) {
            show |= args[i] == "show";
            fail |= args[i] == "fail";
            reports |= args[i] == "p";
            if (args[i].starts_with("limit="))
                limit = std::stoul(args[i].substr(6));
            else if (size_t is = args[i].find('='); is != std::string::npos)
                progress.answerOn = std::stoul(args[i]), progress.answer = args[i].substr(is + 1);
        }
        reports |= progress.answerOn > 0;
        // The host's file-size limit stands in for a full volume.
        rlimit saved{}, limited{};
        getrlimit(RLIMIT_FSIZE, &saved);
        limited = {limit ? limit : saved.rlim_cur, saved.rlim_max};
        auto handler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limited);
        BOOL ok = CopyFileExW(p1.c_str(), p2.c_str(), reports ? Record : NULL, &progress,
                              &progress.cancel, fail ? COPY_FILE_FAIL_IF_EXISTS : 0);
        DWORD error = GetLastError();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
        SetLastError(error);
        if (show)
            Add(progress.reports, Show(device.ReadFile(Expand(a2))), "=");
        return done(ok, progress.reports);
    }
    if (call == "start") {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        BOOL ok =
            CreateProcessW(p1.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
        if (ok)
            held_.insert(held_.end(), {{process.hProcess, 'h'}, {process.hThread, 'h'}});
        return done(ok, ok || !process.hProcess ? "" : "?");
    }
    if (call == "alloc") {
        UINT flags = a2.empty() ? LMEM_FIXED : std::stoul(a2, nullptr, 0);
        auto *block = static_cast<BYTE *>(LocalAlloc(flags, std::stoul(a1)));
        if (block)
            held_.push_back({block, 'm'});
        bool zeroed =
            block && std::all_of(block, block + std::stoul(a1), [](BYTE b) { return !b; });
        return done(block, (flags & LMEM_ZEROINIT) && zeroed ? "zeroed" : "");
    }
    if (call == "free") {
        int local = 0;
        void *block = at == "bad" ? &local : Take(at);
        HLOCAL left = LocalFree(block);
        return done(drop(block, !left), left == NULL || left == block ? "" : "?");
    }
    if (call == "ioctl") {
        std::vector<uint8_t> in, out(args.size() > 3 ? std::stoul(args[3]) : 0);
        for (size_t i = 0; a2 != "-" && i + 1 < a2.size(); i += 2)
            in.push_back(uint8_t(std::stoul(a2.substr(i, 2), nullptr, 16)));
        DWORD returned = kSentinel;
        BOOL ok = DeviceIoControl(Take(at), std::stoul(a1), in.empty() ? NULL : in.data(),
                                  DWORD(in.size()), out.empty() ? NULL : out.data(),
                                  DWORD(out.size()), &returned, NULL);
        std::string text = returned == kSentinel ? "?" : std::to_string(returned);
        return done(ok, out.empty() ? text : text + "," + sim::ToHex(out));
    }
    if (call == "tstwritten")
        return done(true, sim::ToHex(world_.driver()->written));
    if (call == "store") {
        HANDLE store = OpenStore(p1.c_str());
        if (store != INVALID_HANDLE_VALUE)
            held_.push_back({store, 'h'});
        return done(store != INVALID_HANDLE_VALUE);
    }
    if (call == "part") {
        HANDLE store = Take(at);
        PARTINFO info, before;
        std::memset(&info, 0xCC, sizeof(info));
        info.cbSize = a1.empty() || a1 == "-" ? sizeof(info) : std::stoul(a1);
        before = info;
        HANDLE search = FindFirstPartition(store, a1 == "-" ? NULL : &info);
        if (search == INVALID_HANDLE_VALUE)
            return done(false, std::memcmp(&info, &before, sizeof(info)) ? "?" : "");
        held_.push_back({search, 'p'});
        return done(true, Show(ce_host::ToUtf8(ce_host::View(info.szPartitionName))) + "," +
                              Show(ce_host::ToUtf8(ce_host::View(info.szFileSys))) + "," +
                              std::to_string(info.snNumSectors));
    }
    if (call == "partclose") {
        // A partition search is gone after its close, whatever the answer.
        HANDLE search = Take(at);
        BOOL ok = FindClosePartition(search);
        drop(search,
             ok || (!held_.empty() && held_.back().value == search && held_.back().kind == 'p'));
        return done(ok);
    }
    if (call == "now" || call == "local") {
        SYSTEMTIME t;
        (call == "now" ? GetSystemTime : GetLocalTime)(&t);
        char text[64];
        snprintf(text, sizeof(text), "%04d-%02d-%02d.%d.%02d:%02d:%02d.%03d", t.wYear, t.wMonth,
                 t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        return done(true, text);
    }
    if (call == "held") {
        ce_host::Holdings h = ce_host::Held();
        return done(true, std::to_string(h.handles) + "," + std::to_string(h.heapBlocks) + "," +
                              std::to_string(h.heapBytes) + "," + std::to_string(h.peakHeapBytes));
    }
    if (call == "leaks")
        return done(true, std::to_string(ce_host::ReportLeaks()));

    // The world around the calls.
    fs::path host = device.Host(Expand(a1));
    if (std::string rest = Expand(a1.substr(a1.empty() ? 0 : 1)); a1.starts_with("^")) {
        std::replace(rest.begin(), rest.end(), '\\', '/');
        host = world_.outside() / rest;
    }
    if (call == "sleep") {
        Sleep(std::stoul(a1));
    } else if (call == "reboot") {
        held_.clear();
        device.Reload();
    } else if (call == "lay") {
        fs::create_directories(a1.ends_with("\\") ? host : host.parent_path());
        if (!a1.ends_with("\\"))
            std::ofstream(host, std::ios::binary) << Expand(a2);
    } else if (call == "fork") {
        // A forked sweep's child: the device goes on in ^forked, its files hard links.
        const fs::path copy = world_.outside() / "forked";
        fs::create_directory(copy);
        for (auto entry = fs::recursive_directory_iterator(device.folder());
             entry != fs::recursive_directory_iterator(); ++entry) {
            const fs::path to = copy / entry->path().lexically_relative(device.folder());
            if (entry->is_symlink())
                fs::copy_symlink(entry->path(), to);
            else if (entry->is_directory())
                fs::create_directory(to);
            else
                fs::create_hard_link(entry->path(), to);
        }
        ce_host::MoveToLinkedCopy(copy);
    } else if (call == "unlay") {
        fs::remove_all(host);
    } else if (call == "grow") {
        fs::resize_file(host, std::stoull(a2));
    } else if (call == "touch") {
        const timespec times[2] = {{std::stol(a2), 0}, {std::stol(a2), 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
    } else {
        ADD_FAILURE() << "no call " << call;
    }
    return std::nullopt;
}

qs_test::Lines Script::Run(const std::string &script,
                           const std::function<void(size_t, bool)> &around)
{
    qs_test::Lines lines;
    std::stringstream calls(script);
    size_t index = 0;
    for (std::string line; std::getline(calls, line, ';'); ++index) {
        line.erase(0, line.find_first_not_of(' '));
        std::string written = line;
        std::replace(line.begin(), line.end(), '/', '\\');
        size_t times = line.starts_with("x") ? std::stoul(line.substr(1)) : 1;
        if (line.starts_with("x"))
            line.erase(0, line.find(' ') + 1);
        std::vector<std::string> answers;
        for (size_t n = 0; n < times; ++n) {
            std::vector<std::string> args;
            std::stringstream words(line);
            for (std::string word; std::getline(words, word, ' ');)
                args.push_back(word);
            if (around)
                around(index, false);
            SetLastError(kSentinel);
            std::optional<Answer> answer = Call(args);
            std::string error = GetLastError() == kSentinel ? "" : std::to_string(GetLastError());
            if (around)
                around(index, true);
            if (answer)
                answers.push_back((answer->ok ? "ok" + (error.empty() ? "" : "/" + error)
                                              : "!" + (error.empty() ? "-" : error)) +
                                  (answer->out.empty() ? "" : ":" + answer->out));
        }
        if (answers.size() > 1 &&
            size_t(std::count(answers.begin(), answers.end(), answers[0])) == times)
            answers = {std::to_string(times) + "*" + answers[0]};
        std::string text;
        for (const std::string &answer : answers)
            Add(text, answer, " ");
        lines.push_back(answers.empty() ? written : written + " => " + text);
    }
    return lines;
}

std::string Answers(const qs_test::Lines &lines)
{
    std::string text;
    for (const std::string &line : lines)
        if (size_t arrow = line.find(" => "); arrow != std::string::npos)
            Add(text, line.substr(arrow + 4), " ");
    return text;
}

void Script::Release()
{
    for (auto it = held_.rbegin(); it != held_.rend(); ++it)
        it->kind == 'p'   ? FindClosePartition(it->value)
        : it->kind == 'm' ? BOOL(LocalFree(it->value) == NULL)
                          : CloseHandle(it->value);
    held_.clear();
}

TEST_P(ScriptTable, AnswersChangesAndJournal)
{
    const Row &row = GetParam();
    World world(row.device);
    auto before = world.Snapshot();
    Script script(world);
    qs_test::Lines lines = script.Run(row.script);
    script.Release();
    qs_test::ExpectNothingHeld();
    std::string journal = Journal(world.device());
    lines.push_back("changes: " + Changes(before, world.Snapshot()));
    std::stringstream events(journal);
    for (std::string event; std::getline(events, event, '|');)
        lines.push_back("journal: " + event);
    for (std::string &line : lines)
        line += "\r\n";
    qs_test::ExpectGoldenLog(lines, "platform_" + row.name);
}

}  // namespace platform_script
