// Signature checks with no random source at all: the crypto library must start and check without
// waiting for one and without aborting.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <gtest/gtest.h>

#include "image/signature.hpp"

namespace {

// getrandom fails (ENOSYS, an old kernel) and no file opens (no /dev/random, no /dev/urandom).
bool deny_random_sources() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOENT),
#ifdef __NR_open
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOENT),
#endif
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// In a child, the library's first start in this process: a signature made from a fixed seed holds.
int check_without_randomness() {
    if (!deny_random_sources()) {
        return 77;
    }
    signing::PublicKey pk{};
    std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
    const std::uint8_t seed[crypto_sign_SEEDBYTES] = {7};
    crypto_sign_seed_keypair(pk.data(), sk, seed);
    const signing::Statement stmt =
        signing::statement(signing::Scope::record, 3, signing::digest_of(pk));
    signing::SignatureFields fields{.algorithm = signing::kAlgorithmEd25519Blake2b,
                                    .scope = signing::Scope::record,
                                    .key_id = signing::key_id_of(pk)};
    crypto_sign_detached(fields.signature.data(), nullptr, stmt.data(), stmt.size(), sk);
    signing::KeyRing ring;
    ring.keys.push_back(pk);
    return signing::crypto_ready() &&
                   signing::check_signature(ring, fields, stmt) == signing::KeyMatch::holds
               ? 0
               : 1;
}

// The only test of this program that starts the library: the child's start is its first.
TEST(Signature, ChecksWithoutRandomSource) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(check_without_randomness());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no seccomp filter here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
