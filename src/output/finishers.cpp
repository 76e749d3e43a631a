// The outputs' reporters and finishers, kept until the process ends.
#include "output/finishers.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<FailureReporter> reporters;
std::vector<Finisher> finishers;
}  // namespace

void on_failure(FailureReporter reporter)
{
    if (std::find(reporters.begin(), reporters.end(), reporter) == reporters.end())
        reporters.push_back(reporter);
}

void at_end(Finisher finisher)
{
    if (std::find(finishers.begin(), finishers.end(), finisher) == finishers.end())
        finishers.push_back(finisher);
}

void report_failure(const Failure &failure)
{
    for (FailureReporter reporter : reporters)
        reporter(failure);
}

int run_finishers(int status)
{
    for (auto finisher = finishers.rbegin(); finisher != finishers.rend(); ++finisher)
        (*finisher)(status);
    return status;
}
