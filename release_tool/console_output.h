#pragma once
// What the release tool writes for the release engineers: UTF-8 lines on stdout and
// stderr, byte for byte ("\n" line ends, no CR added, no conversion to a code page).

#include <string>

// Switches stdout and stderr to binary mode. Call once, before any output.
void UseBinaryConsoleOutput();

// Writes `text` to stdout exactly as it is.
void WriteOut(const std::string& text);

// Writes `line` and "\n" to stdout, or to stderr, and flushes it.
void PrintLine(const std::string& line);
void PrintErrorLine(const std::string& line);

// UTF-16 to UTF-8 for display: an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// UTF-16 to UTF-8 for a value that goes into a manifest. Raises "<member>: is not valid
// Unicode text ..." for an unpaired surrogate, which no UTF-8 manifest can carry.
std::string StrictWideToUtf8(const std::wstring& text, const char* member);

// `text` made safe for one line of output: control bytes appear as \xNN, everything
// else as it is.
std::string Printable(const std::string& text);
