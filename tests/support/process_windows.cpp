#include "test_support.h"

#include <windows.h>

#include <chrono>

std::string scratch_dir()
{
    static std::string dir = [] {
        char base[MAX_PATH] = "";
        GetTempPathA(MAX_PATH, base);
        // A folder of this run's own: wine gives out process IDs again, so
        // the ID alone could name a folder an earlier run left behind.
        std::string path;
        for (unsigned attempt = 0;; ++attempt) {
            path = std::string(base) + "quorvel-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(GetTickCount64()) + "-" + std::to_string(attempt);
            if (CreateDirectoryA(path.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS)
                return path;
        }
    }();
    return dir;
}

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

HANDLE inheritable_file(const std::string &path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The console writes CR LF; the tests compare text with LF line ends.
std::string without_carriage_returns(std::string text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    return result;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string> &argv, const WhileRunning &while_running)
{
    ProcessResult result;
    std::string out_path = scratch_dir() + "\\stdout.txt";
    std::string err_path = scratch_dir() + "\\stderr.txt";
    std::string command_line;
    for (const std::string &argument : argv) {
        if (!command_line.empty())
            command_line += ' ';
        command_line += quoted(argument);
    }

    HANDLE out = inheritable_file(out_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable_file(err_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE in = inheritable_file("NUL", GENERIC_READ, OPEN_EXISTING);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    auto started = std::chrono::steady_clock::now();
    BOOL created = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
    if (!created)
        return result;
    if (while_running)
        while_running(int(process.dwProcessId));
    WaitForSingleObject(process.hProcess, INFINITE);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    result.status = int(status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    result.out = without_carriage_returns(read_whole_file(out_path));
    result.err = without_carriage_returns(read_whole_file(err_path));
    return result;
}
