#pragma once
// The release tool's command line: a command and its options, each option once, each
// value in the argument after its name.

#include <string>

// The one-line usage, shown for --help and after every wrong argument.
extern const char Usage[];

enum class Command { Help, Manifest, Check, Defaults };

struct ManifestOptions {
    std::wstring installer;
    std::wstring url;
    std::wstring version;
    std::wstring fileName;  // given, or else the installer file's own name
    std::wstring out;       // empty: stdout
    bool outGiven = false;
};

struct CheckOptions {
    std::wstring manifestFile;    // with `live` false: the manifest to read
    bool live = false;            // read the manifest from ManifestUrl instead
    bool installerGiven = false;  // verify the file `installer` against the manifest
    std::wstring installer;
    bool download = false;        // verify the installer at the manifest's url instead
};

struct CommandLine {
    Command command = Command::Help;
    ManifestOptions manifest;
    CheckOptions check;
    std::string problem;  // what is wrong with the arguments; empty when nothing is
};

// Reads the arguments after the program name. Never fails: wrong arguments come back
// as a `problem` (--help anywhere wins over any problem).
CommandLine ParseCommandLine(int argc, const wchar_t* const* argv);
