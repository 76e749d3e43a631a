// The tests' support for the core's tests compiled to WebAssembly (under
// Node.js, with the machine's files through NODERAWFS): a scratch folder,
// and no processes (the core's tests start none; sha256sum stands for the
// system's tool, which a WebAssembly program cannot start: the test that
// needs it is checked natively).
#include "test_support.h"

#include <cstdlib>
#include <string>

std::string scratch_dir()
{
    static std::string dir;
    if (dir.empty()) {
        char name[] = "/tmp/quorvel-wasm-test-XXXXXX";
        dir = mkdtemp(name) ? name : "/tmp";
    }
    return dir;
}

void exec_program(const std::vector<std::string> &)
{
    std::abort();
}

ProcessResult run_process(const std::vector<std::string> &, const WhileRunning &)
{
    return ProcessResult{127, "", "no processes under WebAssembly", 0};
}
