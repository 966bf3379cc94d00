/*
 * The reference of `mpimage verify` (scripts/bench-verify): a plain program that streams a
 * one-record package through zlib's crc32 in 1 MiB pieces, as anyone would write it, and checks
 * the record's CRC (zlib's CRC-32 without the final inversion, over bytes 4 to the end).
 * Exit status 0 when it matches, 1 otherwise.
 */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

int main(int argc, char** argv) {
    enum { kPiece = 1 << 20 };
    int fd = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    unsigned char* buf = malloc(kPiece);
    if (fd < 0 || buf == NULL) {
        return 2;
    }
    unsigned char head[4];
    if (read(fd, head, sizeof head) != (ssize_t)sizeof head) {
        return 1;
    }
    unsigned long crc = crc32(0L, Z_NULL, 0);
    ssize_t n;
    while ((n = read(fd, buf, kPiece)) > 0) {
        crc = crc32(crc, buf, (uInt)n);
    }
    const unsigned long stored = (unsigned long)head[0] << 24 | (unsigned long)head[1] << 16 |
                                 (unsigned long)head[2] << 8 | head[3];
    return n == 0 && (crc ^ 0xFFFFFFFFUL) == stored ? 0 : 1;
}
