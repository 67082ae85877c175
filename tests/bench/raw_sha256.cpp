// raw_sha256: the setup's installer hashing without the setup around it, to show what
// CNG alone takes for a file.
//
//   raw_sha256.exe <file>
//
// Hashes the file with CNG SHA-256 in reads of 1 MiB, as VerifyInstaller does, with
// no window and no message pump. Prints one line:  sha256=<hex> bytes=<n> seconds=<s>
// where seconds run from opening the provider until the digest is finished.
// Exit status 0, or 1 with the reason on stderr.
#include "app/handles.h"
#include "cache/digest_text.h"
#include "tests/bench/stopwatch.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr DWORD HashChunkSize = 1048576;
constexpr ULONG Sha256Length = 32;

struct Digest {
    std::string text;
    std::uint64_t bytes = 0;
};

void Check(NTSTATUS status, const char* what) {
    if (!BCRYPT_SUCCESS(status)) throw std::runtime_error(what);
}

Digest HashFile(const wchar_t* path) {
    BCRYPT_ALG_HANDLE openedAlgorithm = nullptr;
    Check(BCryptOpenAlgorithmProvider(&openedAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "BCryptOpenAlgorithmProvider failed");
    CngAlgorithm algorithm(openedAlgorithm);

    DWORD objectLength = 0;
    ULONG resultSize = 0;
    Check(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                            reinterpret_cast<PUCHAR>(&objectLength), sizeof(objectLength),
                            &resultSize, 0),
          "BCryptGetProperty failed");
    // The hash object's memory must outlive the hash handle, so it is declared first.
    std::vector<UCHAR> hashObject(objectLength);
    std::vector<UCHAR> digest(Sha256Length);

    BCRYPT_HASH_HANDLE createdHash = nullptr;
    Check(BCryptCreateHash(algorithm.get(), &createdHash,
                           objectLength ? hashObject.data() : nullptr, objectLength, nullptr, 0,
                           0),
          "BCryptCreateHash failed");
    CngHash hash(createdHash);

    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot open the file");

    std::vector<UCHAR> block(HashChunkSize);
    Digest result;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block.data(), HashChunkSize, &read, nullptr))
            throw std::runtime_error("ReadFile failed");
        if (read == 0) break;
        Check(BCryptHashData(hash.get(), block.data(), read, 0), "BCryptHashData failed");
        result.bytes += read;
    }
    Check(BCryptFinishHash(hash.get(), digest.data(), Sha256Length, 0),
          "BCryptFinishHash failed");
    result.text = DigestText(digest.data(), digest.size());
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: raw_sha256 <file>\n");
        return 1;
    }
    try {
        const Stopwatch stopwatch;
        const Digest digest = HashFile(argv[1]);
        std::printf("sha256=%s bytes=%llu seconds=%.3f\n", digest.text.c_str(),
                    static_cast<unsigned long long>(digest.bytes), stopwatch.Seconds());
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "raw_sha256: %s (error %lu)\n", failure.what(), GetLastError());
        return 1;
    }
}
