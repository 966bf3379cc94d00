/*
 * The floor of one boot attempt: the least a launcher can do with a slot file. Reads the file
 * whole into one malloc'd buffer, checks the first record's CRC-32 with zlib, and writes its
 * payload to the tarball with one write. The boot benchmark times the launcher against this.
 *
 *   floor SLOT_FILE TARBALL
 *
 * Exit status 0 when the record is intact and the payload was written.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

static uint32_t be32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor SLOT_FILE TARBALL\n");
        return 2;
    }
    int in = open(argv[1], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || st.st_size < 20) {
        perror(argv[1]);
        return 1;
    }
    size_t size = (size_t)st.st_size;
    unsigned char* buf = malloc(size);
    if (buf == NULL) {
        perror("malloc");
        return 1;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(in, buf + got, size - got);
        if (n <= 0) {
            perror(argv[1]);
            return 1;
        }
        got += (size_t)n;
    }
    close(in);

    uint32_t len = be32(buf + 4);
    uint32_t magic = be32(buf + 8);
    size_t header = (magic & 0x80000000u) ? (size_t)(buf[18] << 8 | buf[19]) : 16;
    if (header + len != size) {
        fprintf(stderr, "%s: not one record\n", argv[1]);
        return 1;
    }
    /* The board's CRC register is zlib's CRC-32 without the final inversion. */
    uint32_t crc = (uint32_t)crc32(0L, buf + 4, (uInt)(size - 4)) ^ 0xFFFFFFFFu;
    if (crc != be32(buf)) {
        fprintf(stderr, "%s: CRC mismatch\n", argv[1]);
        return 1;
    }
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || write(out, buf + header, len) != (ssize_t)len || close(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    free(buf);
    return 0;
}
