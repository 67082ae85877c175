// kestrova-release: writes and checks a release's manifest, and checks its installer,
// with the setup's own reader, policy, HTTPS and hashing code, built with the same
// release constants as the setup; and tells those constants to the release scripts.
#include "release_tool/check_command.h"
#include "release_tool/client_messages.h"
#include "release_tool/command_line.h"
#include "release_tool/console_output.h"
#include "release_tool/defaults_command.h"
#include "release_tool/manifest_command.h"

#include <exception>

// Exit status: 0 when everything checked is what a client accepts, 1 with the reason on
// stderr otherwise, 2 for wrong arguments.
int wmain(int argc, wchar_t** argv) {
    UseBinaryConsoleOutput();
    const CommandLine line = ParseCommandLine(argc, argv);
    if (!line.problem.empty()) {
        PrintErrorLine("kestrova-release: " + line.problem);
        PrintErrorLine(Usage);
        return 2;
    }
    // The one place where failures are caught.
    try {
        switch (line.command) {
        case Command::Help:
            PrintLine(Usage);
            break;
        case Command::Manifest:
            RunManifestCommand(line.manifest);
            break;
        case Command::Check:
            RunCheckCommand(line.check);
            break;
        case Command::Defaults:
            RunDefaultsCommand();
            break;
        }
    } catch (const std::exception& failure) {
        PrintErrorLine("kestrova-release: " + DescribeFailure(failure.what()));
        return 1;
    }
    return 0;
}
