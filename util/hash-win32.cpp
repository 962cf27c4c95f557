#include "hash.h"

#include <vector>
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

namespace {

// Closes what the hash holds, whichever steps were taken.
struct handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    ~handles() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

} // namespace

std::string sha256_file(std::string path) {
    handles h;
    h.file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h.file == INVALID_HANDLE_VALUE) return {};
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(h.algorithm, &h.hash, nullptr, 0, nullptr, 0, 0)))
        return {};
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h.file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return {};
        if (got == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(h.hash, buffer.data(), got, 0))) return {};
    }
    unsigned char digest[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(h.hash, digest, sizeof digest, 0))) return {};
    return hex_digits(digest, sizeof digest);
}
