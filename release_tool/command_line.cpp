#include "release_tool/command_line.h"

#include "release_tool/console_output.h"
#include "release_tool/release_files.h"

#include <initializer_list>
#include <map>
#include <vector>

const char Usage[] =
    "usage: kestrova-release manifest --installer FILE --url URL --version VERSION "
    "[--file-name NAME] [--out PATH] | kestrova-release check (--manifest FILE | --live) "
    "[--installer FILE | --download] | kestrova-release defaults | kestrova-release --help";

namespace {

bool IsOptionName(const std::wstring& argument) { return argument.rfind(L"--", 0) == 0; }

// The options of one command: the names that take a value and the flags.
struct OptionSet {
    std::vector<std::wstring> valued;
    std::vector<std::wstring> flags;
};

// Collects `--name value` pairs and flags into `values` (a flag's value is empty).
// Returns the problem, or an empty text.
std::string CollectOptions(const std::vector<std::wstring>& arguments, const OptionSet& options,
                           std::map<std::wstring, std::wstring>& values) {
    auto contains = [](const std::vector<std::wstring>& names, const std::wstring& name) {
        for (const std::wstring& known : names) {
            if (known == name) return true;
        }
        return false;
    };
    for (size_t at = 1; at < arguments.size(); ++at) {
        const std::wstring& name = arguments[at];
        const std::string shown = WideToUtf8(name);
        const bool valued = contains(options.valued, name);
        if (!valued && !contains(options.flags, name)) {
            return IsOptionName(name) ? "unknown option " + shown + " for " + WideToUtf8(arguments[0])
                                      : "unexpected argument \"" + shown + "\"";
        }
        if (values.count(name)) return shown + " is given twice";
        if (!valued) {
            values[name] = L"";
            continue;
        }
        if (at + 1 == arguments.size() || IsOptionName(arguments[at + 1])) return shown + " needs a value";
        values[name] = arguments[++at];
    }
    return {};
}

std::string ReadManifestOptions(const std::map<std::wstring, std::wstring>& values, ManifestOptions& options) {
    for (const wchar_t* required : {L"--installer", L"--url", L"--version"}) {
        if (!values.count(required)) return "manifest needs " + WideToUtf8(required);
    }
    options.installer = values.at(L"--installer");
    options.url = values.at(L"--url");
    options.version = values.at(L"--version");
    options.fileName = values.count(L"--file-name") ? values.at(L"--file-name") : BaseName(options.installer);
    options.outGiven = values.count(L"--out") != 0;
    if (options.outGiven) options.out = values.at(L"--out");
    return {};
}

std::string ReadCheckOptions(const std::map<std::wstring, std::wstring>& values, CheckOptions& options) {
    const bool manifestGiven = values.count(L"--manifest") != 0;
    options.live = values.count(L"--live") != 0;
    if (manifestGiven && options.live) return "check takes --manifest FILE or --live, not both";
    if (!manifestGiven && !options.live) return "check needs --manifest FILE or --live";
    if (manifestGiven) options.manifestFile = values.at(L"--manifest");
    options.installerGiven = values.count(L"--installer") != 0;
    options.download = values.count(L"--download") != 0;
    if (options.installerGiven && options.download) return "check takes --installer FILE or --download, not both";
    if (options.installerGiven) options.installer = values.at(L"--installer");
    return {};
}

}  // namespace

CommandLine ParseCommandLine(int argc, const wchar_t* const* argv) {
    CommandLine line;
    const std::vector<std::wstring> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    for (const std::wstring& argument : arguments) {
        if (argument == L"--help" || argument == L"-h") return line;
    }
    if (arguments.empty()) {
        line.problem = "no command given";
        return line;
    }

    std::map<std::wstring, std::wstring> values;
    if (arguments[0] == L"manifest") {
        line.command = Command::Manifest;
        line.problem = CollectOptions(arguments, {{L"--installer", L"--url", L"--version", L"--file-name", L"--out"}, {}},
                                      values);
        if (line.problem.empty()) line.problem = ReadManifestOptions(values, line.manifest);
    } else if (arguments[0] == L"check") {
        line.command = Command::Check;
        line.problem = CollectOptions(arguments, {{L"--manifest", L"--installer"}, {L"--live", L"--download"}}, values);
        if (line.problem.empty()) line.problem = ReadCheckOptions(values, line.check);
    } else if (arguments[0] == L"defaults") {
        line.command = Command::Defaults;
        line.problem = CollectOptions(arguments, {}, values);
    } else {
        line.problem = "unknown command \"" + WideToUtf8(arguments[0]) + "\"";
    }
    return line;
}
