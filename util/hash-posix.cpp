#include "hash.h"

#include "posix/base.h"

#include <cerrno>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>
#include <vector>

std::string sha256_file(std::string path) {
    int fd = open(native(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            close(fd);
            return {};
        }
        if (got == 0) break;
        sha256_update(&ctx, static_cast<size_t>(got), buffer.data());
    }
    close(fd);
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return hex_digits(digest, sizeof digest);
}
