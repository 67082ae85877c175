#pragma once
// What the release tool refuses to put into a manifest before it writes anything:
// values the client's reader would cut or change, and file names Windows would not
// store as they are. Each refusal names the member and says why.

#include <string>

// Raises "<member>: ..." unless the UTF-8 `value` can stand in the manifest as it is:
// not empty (the reader takes an empty value as missing), no double quote (it ends the
// value), no backslash (the reader drops it as an escape) and no control character
// (JSON needs it escaped, and the reader decodes no escapes).
void RequireManifestValue(const char* member, const std::string& value);

// Raises "fileName: ..." unless `name` is one plain Windows file name: no path
// separator, colon or other character Windows refuses in a name (< > " | ? * and
// control characters), no dot or space at the end (Windows drops them), and not a
// device name such as CON, NUL, COM1 or LPT1 (with or without an extension).
void RequireWindowsFileName(const std::wstring& name);
