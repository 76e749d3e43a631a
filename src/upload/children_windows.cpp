// Runs copies of this program side by side, each with its output captured: Windows.
#include "upload/children.h"

#include "cli/console.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// What the copy wrote, with its line ends as on Linux: the copy's C runtime
// wrote each "\n" as "\r\n", and a line passed on with its "\r" would end
// in "\r\r\n" once this process's runtime has written it.
std::string read_back(HANDLE file)
{
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            text[kept++] = text[i];
    text.resize(kept);
    return text;
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

}  // namespace

int run_copies(std::vector<CopyRun> &copies)
{
    // The copies share this console: its Ctrl-C, Ctrl-Break and close reach
    // each of them directly. This process takes them too, and lives on to
    // report the copies.
    hold_stop_signals();
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    struct Started {
        HANDLE process, out, err;
    };
    std::vector<Started> started;
    for (CopyRun &copy : copies) {
        Started child{nullptr, capture_file(), capture_file()};
        std::string command_line = quoted(self);
        for (const std::string &argument : copy.arguments)
            command_line += " " + quoted(argument);
        STARTUPINFOEXA startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = nothing;
        startup.StartupInfo.hStdOutput = child.out;
        startup.StartupInfo.hStdError = child.err;
        // The copy inherits its three standard handles and nothing else: not
        // the other copies' files, nor any handle of this process.
        HANDLE own[3] = {nothing, child.out, child.err};
        HandleList handles(own);
        startup.lpAttributeList = handles.list;
        PROCESS_INFORMATION process{};
        // Started suspended: it runs only once it is in the job.
        if (handles.list && CreateProcessA(self, command_line.data(), nullptr, nullptr, TRUE,
                                           CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                           &startup.StartupInfo, &process)) {
            if (!copies_job() || !AssignProcessToJobObject(copies_job(), process.hProcess)) {
                TerminateProcess(process.hProcess, 127);
                CloseHandle(process.hProcess);
            } else {
                ResumeThread(process.hThread);
                child.process = process.hProcess;
            }
            CloseHandle(process.hThread);
        }
        started.push_back(child);
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        DWORD status = 127;
        if (started[i].process) {
            WaitForSingleObject(started[i].process, INFINITE);
            GetExitCodeProcess(started[i].process, &status);
            CloseHandle(started[i].process);
        }
        copies[i].status = int(status);
        copies[i].out = read_back(started[i].out);
        copies[i].err = read_back(started[i].err);
        if (!started[i].process)
            copies[i].err = "quorvel: cannot start a copy of itself\n";
    }
    CloseHandle(nothing);
    return take_stop_signal();
}

namespace {

char shared_path[MAX_PATH] = "";

void remove_shared_copy()
{
    DeleteFileA(shared_path);
}

}  // namespace

std::string shared_copy_of(const char *path, std::string &why)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE))
        return path;
    std::FILE *in = std::fopen(path, "rb");
    if (!in) {
        why = std::strerror(errno);
        return "";
    }
    char directory[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    // The name is made (as an empty file) here; it goes away as the process ends.
    std::FILE *copy = nullptr;
    if (GetTempFileNameA(directory, "qv", 0, shared_path)) {
        std::atexit(remove_shared_copy);
        copy = std::fopen(shared_path, "wb");
    }
    char buffer[65536];
    size_t got = 0;
    bool copied = copy != nullptr;
    while (copied && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        copied = std::fwrite(buffer, 1, got, copy) == got;
    copied = copied && !std::ferror(in);
    int error = errno;
    std::fclose(in);
    if (copy && std::fclose(copy) != 0)
        copied = false;
    if (!copied) {
        why = std::strerror(error);
        return "";
    }
    return shared_path;
}
