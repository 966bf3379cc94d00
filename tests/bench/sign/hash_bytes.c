/* hash_bytes ALGORITHM BYTES: hashes BYTES bytes with libsodium's sha256, sha512 or blake2b, so
 * that scripts/bench-sign can count the instructions it takes (the difference of two sizes). */
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    static unsigned char buf[1 << 20];
    unsigned char out[64];
    if (argc != 3 || sodium_init() < 0) {
        return 2;
    }
    size_t n = strtoul(argv[2], NULL, 10);
    if (n > sizeof buf) {
        return 2;
    }
    for (size_t i = 0; i < n; ++i) {
        buf[i] = (unsigned char)(i * 131u + 7u);
    }
    if (strcmp(argv[1], "sha256") == 0) {
        crypto_hash_sha256(out, buf, n);
    } else if (strcmp(argv[1], "sha512") == 0) {
        crypto_hash_sha512(out, buf, n);
    } else if (strcmp(argv[1], "blake2b") == 0) {
        crypto_generichash(out, 32, buf, n, NULL, 0);
    } else {
        return 2;
    }
    printf("%02x%02x%02x%02x\n", out[0], out[1], out[2], out[3]);
    return 0;
}
