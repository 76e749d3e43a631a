// Copies of this program side by side, each one's output read as it comes: Windows.
#include "copies/copies.h"

#include "output/console.h"
#include "os/error_text_windows.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::string quoted(const std::string &argument)
{
    std::string result = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        result.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

// A temporary file that the copy writes to and that goes away when closed.
HANDLE capture_file()
{
    char directory[MAX_PATH] = "", path[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "qv", 0, path);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// A copy's output with its line ends as on Linux: the copy's C runtime
// wrote each "\n" as "\r\n", and a line passed on with its "\r" would end
// in "\r\r\n" once this process's runtime has written it.
std::string linux_lines(std::string text)
{
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            text[kept++] = text[i];
    text.resize(kept);
    return text;
}

// What the copy wrote to this file, with Linux line ends.
std::string read_back(HANDLE file)
{
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return linux_lines(std::move(text));
}

// The attribute that limits what a new process inherits to these handles.
struct HandleList {
    std::vector<char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

    explicit HandleList(HANDLE (&handles)[3])
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        auto *made = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(made, 1, 0, &size))
            return;
        list = made;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles,
                                       nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            list = nullptr;
        }
    }
    ~HandleList()
    {
        if (list)
            DeleteProcThreadAttributeList(list);
    }
    HandleList(const HandleList &) = delete;
    HandleList &operator=(const HandleList &) = delete;
};

// The job that holds every copy: when this process ends, however it ends,
// the system closes the job's last handle and ends the copies with it.
HANDLE copies_job()
{
    static const HANDLE job = [] {
        HANDLE made = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made)
            SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return made;
    }();
    return job;
}

// Starts a copy of this program (or of `program`) with these arguments and
// standard handles, which it inherits, and no other handle of this
// process: not the other copies' files. Returns the copy's process, in the
// job, or null with GetLastError telling why.
HANDLE start_copy(const char *program, const std::vector<std::string> &arguments, HANDLE in, HANDLE out,
                  HANDLE err)
{
    char self[MAX_PATH] = "";
    if (program)
        std::snprintf(self, sizeof self, "%s", program);
    else
        GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command_line = quoted(self);
    for (const std::string &argument : arguments) {
        command_line += ' ';
        command_line += quoted(argument);
    }
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in;
    startup.StartupInfo.hStdOutput = out;
    startup.StartupInfo.hStdError = err;
    HANDLE own[3] = {in, out, err};
    HandleList handles(own);
    startup.lpAttributeList = handles.list;
    PROCESS_INFORMATION process{};
    // Started suspended: it runs only once it is in the job.
    if (!handles.list || !CreateProcessA(self, command_line.data(), nullptr, nullptr, TRUE,
                                         CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                         &startup.StartupInfo, &process))
        return nullptr;
    if (!copies_job() || !AssignProcessToJobObject(copies_job(), process.hProcess)) {
        DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 127);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        SetLastError(error);
        return nullptr;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// A copy's standard input: the null device, as a handle it may inherit.
HANDLE null_input()
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                       nullptr);
}

}  // namespace

namespace {

// A copy that copy_start started: its process (null once it ended),
// the pipe of its standard output with what came of an unfinished line,
// and the file of its standard error.
struct LiveCopy {
    HANDLE process;
    HANDLE out;
    std::string partial;
    HANDLE err;
};
std::vector<LiveCopy> copies_started;

// Reads what the copy's pipe holds now (all of it once the copy ended);
// the complete lines go to `news`.
void read_lines(int number, LiveCopy &copy, std::vector<CopyNews> &news, bool ended)
{
    char buffer[4096];
    for (DWORD waiting = 0, got = 0;
         (ended || (PeekNamedPipe(copy.out, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0)) &&
         ReadFile(copy.out, buffer, sizeof buffer, &got, nullptr) && got > 0;)
        copy.partial.append(buffer, got);
    size_t end = copy.partial.rfind('\n');
    if (end == std::string::npos)
        return;
    news.push_back(CopyNews{number, linux_lines(copy.partial.substr(0, end + 1)), false, 0, "", false});
    copy.partial.erase(0, end + 1);
}

}  // namespace

int copies_begin(std::string &)
{
    // The copies share this console: its Ctrl-C, Ctrl-Break and close reach
    // each of them directly; this process takes them too.
    hold_stop_signals();
    return 1;
}

int copy_start(const char *program, const std::vector<std::string> &arguments, std::string &why, int)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        why = error_text(GetLastError());
        return -1;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = null_input();
    LiveCopy copy{nullptr, read_end, "", capture_file()};
    copy.process = start_copy(program, arguments, nothing, write_end, copy.err);
    DWORD error = GetLastError();
    CloseHandle(write_end);
    CloseHandle(nothing);
    if (!copy.process) {
        CloseHandle(read_end);
        CloseHandle(copy.err);
        why = error_text(error);
        return -1;
    }
    copies_started.push_back(copy);
    return int(copies_started.size() - 1);
}

int copies_wait(double seconds, bool follow, std::vector<CopyNews> &news)
{
    const ULONGLONG end = GetTickCount64() + ULONGLONG(seconds * 1000);
    do {
        for (size_t i = 0; i < copies_started.size(); ++i) {
            LiveCopy &copy = copies_started[i];
            if (!copy.process)
                continue;
            const bool ended = WaitForSingleObject(copy.process, 0) == WAIT_OBJECT_0;
            read_lines(int(i), copy, news, ended);
            if (!ended)
                continue;
            DWORD status = 127;
            GetExitCodeProcess(copy.process, &status);
            CloseHandle(copy.process);
            CloseHandle(copy.out);
            copy.process = nullptr;
            news.push_back(CopyNews{int(i), "", true, int(status), read_back(copy.err), false});
        }
        if (int signal = take_stop_signal())
            return signal;
        if (follow && !news.empty())
            return 0;
        Sleep(10);
    } while (GetTickCount64() < end);
    return 0;
}
