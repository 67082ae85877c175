#include "release_tool/release_files.h"

#include "app/handles.h"
#include "release_tool/console_output.h"

#include <stdexcept>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& problem, const std::wstring& path) {
    throw std::runtime_error(std::string(what) + ": " + problem + " " + WideToUtf8(path));
}

}  // namespace

TemporaryFile::~TemporaryFile() {
    // Nothing to report from here: a file that cannot be deleted simply stays.
    if (!path_.empty()) DeleteFileW(path_.c_str());
}

TemporaryFile NewTemporaryFile(const std::wstring& directory, const char* what) {
    wchar_t path[MAX_PATH] = {};
    if (!GetTempFileNameW(directory.c_str(), L"krl", 0, path)) {
        Fail(what, "cannot create a file in", directory);
    }
    return TemporaryFile(path);
}

std::wstring TemporaryDirectory() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH) return L".";
    return std::wstring(path, length);
}

std::wstring DirectoryOf(const std::wstring& path, const char* what) {
    wchar_t* name = nullptr;
    std::vector<wchar_t> full(32768);
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), &name);
    if (length == 0 || length >= full.size() || name == nullptr) {
        Fail(what, "names no file in a folder:", path);
    }
    return std::wstring(full.data(), static_cast<size_t>(name - full.data()));
}

std::wstring BaseName(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

void RequireFile(const std::wstring& path, const char* what) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Fail(what, "no such file:", path);
    }
}

std::string ReadWholeFile(const std::wstring& path, const char* what) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(what, "cannot read", path);
    std::string bytes;
    std::vector<char> block(65536);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr)) {
            Fail(what, "cannot read", path);
        }
        if (read == 0) return bytes;
        bytes.append(block.data(), read);
    }
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes, const char* what) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(what, "cannot write", path);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        Fail(what, "cannot write", path);
    }
}

void MoveIntoPlace(TemporaryFile& file, const std::wstring& target, const char* what) {
    if (!MoveFileExW(file.path().c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Fail(what, "cannot write", target);
    }
    file.keep();
}
