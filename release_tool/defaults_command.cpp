#include "release_tool/defaults_command.h"

#include "app/constants.h"
#include "manifest/manifest_policy.h"
#include "release_tool/console_output.h"

#include <string>

void RunDefaultsCommand() {
    PrintLine("host: " + WideToUtf8(DownloadHost));
    PrintLine("manifest-url: " + WideToUtf8(ManifestUrl));
    PrintLine("default-url: " + WideToUtf8(DefaultInstallerUrl));
    PrintLine("default-file-name: " + WideToUtf8(DefaultFileName));
    PrintLine("default-size: " + std::to_string(DefaultSize));
    PrintLine(std::string("default-sha256: ") + DefaultSha256);
    PrintLine("minimum-size: " + std::to_string(MinPlausibleSize));
}
