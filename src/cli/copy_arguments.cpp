// A board's copy's command line, from the option table.
#include "cli/copy_arguments.h"

#include "cli/options.h"

#include <cstdio>

std::vector<std::string> copy_arguments(std::string_view board_path, std::string_view file,
                                        double settle_seconds)
{
    std::vector<std::string> arguments{"-json"};
    for (const OptionRule &rule : option_rules())
        if (rule.copy == COPY_PASSED)
            rule.pass_on(arguments);
    if (run_options.wait || run_options.station) {
        char settle[32];
        std::snprintf(settle, sizeof settle, "-w=%g", settle_seconds);
        arguments.push_back(settle);
    }
    // Under -boot the name is empty: its lines name no file.
    if (run_options.log_path && (run_options.hex_path || run_options.boot))
        arguments.push_back(std::string("-log-name=") + (run_options.log_name   ? run_options.log_name
                                                         : run_options.hex_path ? run_options.hex_path
                                                                                : ""));
    arguments.push_back("-device=" + std::string(board_path));
    if (!file.empty())  // -boot reads no file
        arguments.emplace_back(file);
    return arguments;
}
