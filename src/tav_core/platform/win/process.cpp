// Windows has no fork: workers are spawned (CreateProcessW), with pipes for their standard
// streams, the given environment, no window and no console of their own, and only the pipes'
// ends inherited; the handles to hand over are duplicated into the child once it exists.
#include "platform/process.hpp"

#include <windows.h>

#include "platform/win/wide.hpp"
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <system_error>

namespace tav::platform {

namespace {

using detail::wide;

std::system_error failure(DWORD error, const std::string& what) {
    return std::system_error(static_cast<int>(error), std::system_category(), what);
}

// One argument as the C runtime's command-line parser reads it back: quoted when it holds a
// space, a tab or a quote, or is empty; backslashes doubled only before a quote.
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        line += c;
    }
    line.append(slashes * 2, L'\\');
    line += L'"';
}

// "NAME=value" entries as an environment block, sorted by name without regard to case, as
// Windows keeps it.
std::wstring environment_block(const std::vector<std::string>& env) {
    std::vector<std::wstring> entries;
    for (const std::string& e : env) entries.push_back(wide(e));
    auto name = [](const std::wstring& e) {
        std::wstring n = e.substr(0, e.find(L'=', 1));
        for (wchar_t& c : n) c = static_cast<wchar_t>(std::towupper(c));
        return n;
    };
    std::stable_sort(
        entries.begin(), entries.end(),
        [&](const std::wstring& a, const std::wstring& b) { return name(a) < name(b); });
    std::wstring block;
    for (const std::wstring& e : entries) block.append(e).push_back(L'\0');
    if (entries.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// Owns handles until the spawn is done.
struct Handles {
    std::vector<HANDLE> owned;
    ~Handles() {
        for (HANDLE h : owned)
            if (h) CloseHandle(h);
    }
    HANDLE add(HANDLE h) { return owned.emplace_back(h); }
    void keep(HANDLE h) { std::replace(owned.begin(), owned.end(), h, HANDLE(nullptr)); }
};

// A pipe whose end `child_end` (0: the read end, 1: the write end) is inheritable.
void pipe(HANDLE ends[2], int child_end, Handles& own) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&ends[0], &ends[1], &inherit, 1 << 16)) throw failure(GetLastError(), "pipe");
    own.add(ends[0]);
    own.add(ends[1]);
    SetHandleInformation(ends[1 - child_end], HANDLE_FLAG_INHERIT, 0);
}

// A process handle for `child`: its own, or one opened by pid for this call.
struct Opened {
    HANDLE h = nullptr;
    bool own = false;
    bool gone = false;  // no process has that pid
    Opened(const Process& child, DWORD access) {
        if (child.handle) {
            h = child.handle.get();
        } else if (child.pid > 0) {
            h = OpenProcess(access, FALSE, static_cast<DWORD>(child.pid));
            own = h != nullptr;
            gone = !h && GetLastError() == ERROR_INVALID_PARAMETER;
        } else {
            gone = true;
        }
    }
    ~Opened() {
        if (own) CloseHandle(h);
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
};

}  // namespace

Pid current_process() { return static_cast<Pid>(GetCurrentProcessId()); }

// The parent's pid as recorded at this process's creation (Windows never changes it).
Pid parent_process() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    Pid parent = 0;
    const DWORD me = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == me) {
            parent = static_cast<Pid>(entry.th32ParentProcessID);
            break;
        }
    CloseHandle(snapshot);
    return parent;
}

void on_fork_child(void (*)()) {}
void ignore_broken_pipes() {}  // Windows signals no broken pipe

std::optional<Pid> fork_child(const std::function<int()>&, std::vector<Handle>) {
    return std::nullopt;
}

void hand_over_to(Handle process, HandOver& hand_over) {
    const Pid pid = static_cast<Pid>(GetProcessId(process));
    std::vector<uint64_t> values;
    for (Handle h : hand_over.handles) {
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), h, process, &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            throw failure(GetLastError(), "handing a handle to process " + std::to_string(pid));
        values.push_back(handle_value(copy));
    }
    hand_over.child = pid;
    hand_over.values = std::move(values);
}

Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              HandOver& hand_over) {
    if (argv.empty()) throw std::invalid_argument("spawn: no program");
    Handles own;  // closed here whatever happens; the child has its copies
    HANDLE in[2], out[2];
    pipe(in, 0, own);
    pipe(out, 1, own);

    // Only the two pipe ends reach the child, whatever else of the host is inheritable.
    HANDLE inherited[2] = {in[0], out[1]};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        throw failure(GetLastError(), "spawn attributes");
    struct ListEnd {
        LPPROC_THREAD_ATTRIBUTE_LIST l;
        ~ListEnd() { DeleteProcThreadAttributeList(l); }
    } list_end{list};
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, nullptr, nullptr))
        throw failure(GetLastError(), "spawn attributes");

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = in[0];
    startup.StartupInfo.hStdOutput = out[1];
    startup.StartupInfo.hStdError = out[1];
    startup.lpAttributeList = list;

    std::wstring line;
    for (const std::string& a : argv) append_argument(line, wide(a));
    std::wstring environment = environment_block(env);
    const std::wstring program = wide(argv[0]);
    PROCESS_INFORMATION info{};
    // Its own process group: a console's Ctrl-C is the host's, not the worker's.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                        EXTENDED_STARTUPINFO_PRESENT;
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                        environment.data(), nullptr, &startup.StartupInfo, &info))
        throw failure(GetLastError(), argv[0]);
    CloseHandle(info.hThread);
    Spawned child{Process(static_cast<Pid>(info.dwProcessId), info.hProcess), OwnedHandle(in[1]),
                  OwnedHandle(out[0])};
    own.keep(in[1]);
    own.keep(out[0]);

    try {
        hand_over_to(info.hProcess, hand_over);
    } catch (...) {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, INFINITE);
        throw;
    }
    return child;
}

bool process_ended(const Process& child, int* status) {
    Opened p(child, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
    DWORD code = 0;
    const bool ended = p.h ? WaitForSingleObject(p.h, 0) == WAIT_OBJECT_0 : p.gone;
    if (ended && p.h) GetExitCodeProcess(p.h, &code);
    if (status) *status = static_cast<int>(code);
    return ended;
}

bool wait_process(const Process& child, double seconds, double) {
    Opened p(child, SYNCHRONIZE);
    if (!p.h) return p.gone;
    const double ms = std::max(0.0, seconds * 1000);
    const DWORD limit = ms >= double(INFINITE - 1) ? INFINITE - 1 : static_cast<DWORD>(ms + 1);
    return WaitForSingleObject(p.h, limit) == WAIT_OBJECT_0;
}

void kill_process(const Process& child) {
    Opened p(child, PROCESS_TERMINATE);
    if (p.h) TerminateProcess(p.h, 1);
}

bool exited_with(int status, int code) { return status == code; }

}  // namespace tav::platform
