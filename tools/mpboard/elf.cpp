#include "elf.hpp"

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "base/unique_fd.hpp"
#include "failure.hpp"
#include "files.hpp"

extern char** environ;

namespace mpboard {

// The dynamic loader a host executable names (PT_INTERP), or empty for a static one.
std::string interpreter_of(const std::string& path) {
    const auto bytes = read_file(path);
    if (bytes.size() < sizeof(Elf64_Ehdr) || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
        fail(path + ": not an ELF executable");
    }
    if (bytes[EI_CLASS] != ELFCLASS64) {
        return {};  // the powerpc build, static
    }
    Elf64_Ehdr eh;
    std::memcpy(&eh, bytes.data(), sizeof eh);
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        const std::size_t at = eh.e_phoff + std::size_t{i} * eh.e_phentsize;
        if (at + sizeof(Elf64_Phdr) > bytes.size()) {
            break;
        }
        Elf64_Phdr ph;
        std::memcpy(&ph, bytes.data() + at, sizeof ph);
        if (ph.p_type == PT_INTERP && ph.p_offset + ph.p_filesz <= bytes.size() &&
            ph.p_filesz > 1) {
            return std::string(reinterpret_cast<const char*>(bytes.data() + ph.p_offset),
                               ph.p_filesz - 1);
        }
    }
    return {};
}

// The shared objects a dynamic executable loads, as its loader lists them (what ldd shows).
std::vector<std::string> shared_objects_of(const std::string& interp, const std::string& exe) {
    std::array<int, 2> pipe_fds{};
    if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
        fail_errno("pipe");
    }
    const base::UniqueFd from_loader(pipe_fds[0]);
    base::UniqueFd to_us(pipe_fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_us.get(), STDOUT_FILENO);
    std::string list = "--list";
    std::vector<char*> argv{const_cast<char*>(interp.c_str()), list.data(),
                            const_cast<char*>(exe.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, interp.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    to_us.reset();
    const auto listing =
        rc == 0 ? read_all(from_loader.get(), interp) : std::vector<std::uint8_t>{};
    const std::string out(listing.begin(), listing.end());
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        fail(exe + ": could not list its shared libraries with " + interp);
    }
    std::vector<std::string> objects{interp};
    std::size_t pos = 0;
    while (pos < out.size()) {
        const auto nl = out.find('\n', pos);
        std::string line = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? out.size() : nl + 1;
        line.erase(0, line.find_first_not_of(" \t"));
        const auto arrow = line.find(" => ");
        std::string path = arrow == std::string::npos ? line : line.substr(arrow + 4);
        path = path.substr(0, path.find(" ("));
        if (path.starts_with("/") && path != interp) {
            objects.push_back(path);
        }
    }
    return objects;
}

}  // namespace mpboard
