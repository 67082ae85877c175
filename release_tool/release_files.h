#pragma once
// The files the release tool reads and writes. Every failure names what the file is
// for (`what`: "installer", "manifest", "out", "download") and its path.

#include <string>
#include <utility>

// A file that is deleted when its owner goes (on success and on failure alike), unless
// it has been kept. Neither copyable nor movable: it stays where it was made.
class TemporaryFile {
public:
    explicit TemporaryFile(std::wstring path) noexcept : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    const std::wstring& path() const noexcept { return path_; }

    // The file is no longer deleted (it has been moved into place).
    void keep() noexcept { path_.clear(); }

private:
    std::wstring path_;
};

// Creates a new, empty file with a unique name in `directory` and returns its owner.
// Raises "<what>: cannot create a file in <directory>".
TemporaryFile NewTemporaryFile(const std::wstring& directory, const char* what);

// The user's temporary folder (GetTempPathW).
std::wstring TemporaryDirectory();

// The folder that holds `path`, made absolute. Raises "<what>: ..." for a path that
// names no file in a folder.
std::wstring DirectoryOf(const std::wstring& path, const char* what);

// The last component of `path`: what follows its last backslash, slash or drive colon.
std::wstring BaseName(const std::wstring& path);

// Raises "<what>: no such file: <path>" unless `path` names an existing file (not a folder).
void RequireFile(const std::wstring& path, const char* what);

// Every byte of the file at `path`. Raises "<what>: cannot read <path>".
std::string ReadWholeFile(const std::wstring& path, const char* what);

// Replaces the content of the file at `path` with `bytes`. Raises "<what>: cannot
// write <path>"; the file may then hold part of them.
void WriteWholeFile(const std::wstring& path, const std::string& bytes, const char* what);

// Moves `file` to `target`, replacing what is there, and keeps it. Raises "<what>:
// cannot write <target>"; `file` is then still deleted by its owner and `target` is as
// it was.
void MoveIntoPlace(TemporaryFile& file, const std::wstring& target, const char* what);
