#include "elf.hpp"

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <utility>

#include "base/unique_fd.hpp"
#include "failure.hpp"
#include "files.hpp"

extern char** environ;

namespace mpboard {

namespace {

// The parts of an ELF file of either class and byte order that tell what it loads.
class ElfFile {
public:
    explicit ElfFile(const std::string& path) : path_(path), bytes_(read_file(path)) {
        if (bytes_.size() < EI_NIDENT || std::memcmp(bytes_.data(), ELFMAG, SELFMAG) != 0 ||
            (bytes_[EI_CLASS] != ELFCLASS32 && bytes_[EI_CLASS] != ELFCLASS64) ||
            (bytes_[EI_DATA] != ELFDATA2LSB && bytes_[EI_DATA] != ELFDATA2MSB)) {
            fail(path + ": not an ELF executable");
        }
        wide_ = bytes_[EI_CLASS] == ELFCLASS64;
        big_ = bytes_[EI_DATA] == ELFDATA2MSB;
        const std::uint64_t phoff = wide_ ? u64(32) : u32(28);
        const unsigned entsize = u16(wide_ ? 54 : 42);
        const unsigned count = u16(wide_ ? 56 : 44);
        for (unsigned i = 0; i < count; ++i) {
            const std::uint64_t at = phoff + std::uint64_t{i} * entsize;
            if (entsize < (wide_ ? 56U : 32U) || at + entsize > bytes_.size()) {
                break;
            }
            Segment s;
            s.type = u32(at);
            s.offset = wide_ ? u64(at + 8) : u32(at + 4);
            s.vaddr = wide_ ? u64(at + 16) : u32(at + 8);
            s.filesz = wide_ ? u64(at + 32) : u32(at + 16);
            if (s.offset <= bytes_.size() && s.filesz <= bytes_.size() - s.offset) {
                segments_.push_back(s);
            }
        }
    }

    bool host_class() const { return wide_ == (sizeof(void*) == 8); }

    std::string interpreter() const {
        for (const Segment& s : segments_) {
            if (s.type == PT_INTERP && s.filesz > 1) {
                return text_at(s.offset, s.offset + s.filesz);
            }
        }
        return {};
    }

    // DT_NEEDED names, from the dynamic section and its string table.
    std::vector<std::string> needed() const {
        std::vector<std::string> names;
        for (const Segment& s : segments_) {
            if (s.type != PT_DYNAMIC) {
                continue;
            }
            const unsigned entry = wide_ ? 16 : 8;
            std::vector<std::uint64_t> offsets;
            std::uint64_t strtab = 0;
            for (std::uint64_t at = s.offset; at + entry <= s.offset + s.filesz; at += entry) {
                const std::uint64_t tag = wide_ ? u64(at) : u32(at);
                const std::uint64_t value = wide_ ? u64(at + 8) : u32(at + 4);
                if (tag == DT_NULL) {
                    break;
                }
                if (tag == DT_NEEDED) {
                    offsets.push_back(value);
                } else if (tag == DT_STRTAB) {
                    strtab = value;
                }
            }
            const std::uint64_t table = file_offset(strtab);
            for (const std::uint64_t o : offsets) {
                if (table + o >= bytes_.size()) {
                    fail(path_ + ": a DT_NEEDED name outside the file");
                }
                names.push_back(text_at(table + o, bytes_.size()));
            }
        }
        return names;
    }

private:
    struct Segment {
        std::uint32_t type = 0;
        std::uint64_t offset = 0;
        std::uint64_t vaddr = 0;
        std::uint64_t filesz = 0;
    };

    std::uint64_t get(std::uint64_t at, unsigned n) const {
        if (at + n > bytes_.size()) {
            fail(path_ + ": a truncated ELF header");
        }
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned byte = bytes_[at + (big_ ? i : n - 1 - i)];
            v = (v << 8) | byte;
        }
        return v;
    }
    unsigned u16(std::uint64_t at) const { return static_cast<unsigned>(get(at, 2)); }
    std::uint32_t u32(std::uint64_t at) const { return static_cast<std::uint32_t>(get(at, 4)); }
    std::uint64_t u64(std::uint64_t at) const { return get(at, 8); }

    // The file offset of a virtual address, through the loadable segment that holds it.
    std::uint64_t file_offset(std::uint64_t vaddr) const {
        for (const Segment& s : segments_) {
            if (s.type == PT_LOAD && vaddr >= s.vaddr && vaddr - s.vaddr < s.filesz) {
                return s.offset + (vaddr - s.vaddr);
            }
        }
        fail(path_ + ": its string table is in no loadable segment");
    }

    std::string text_at(std::uint64_t from, std::uint64_t end) const {
        const auto* begin = reinterpret_cast<const char*>(bytes_.data() + from);
        const auto* stop = std::find(begin, begin + (end - from), '\0');
        return std::string(begin, stop);
    }

    std::string path_;
    std::vector<std::uint8_t> bytes_;
    bool wide_ = false;
    bool big_ = false;
    std::vector<Segment> segments_;
};

}  // namespace

// The dynamic loader a host executable names (PT_INTERP), or empty for a static one or one of
// another machine (the static powerpc launcher of `run --ppc`).
std::string interpreter_of(const std::string& path) {
    const ElfFile elf(path);
    return elf.host_class() ? elf.interpreter() : std::string();
}

std::vector<ForeignObject> foreign_objects_of(const std::string& exe, const std::string& sysroot) {
    const ElfFile program(exe);
    const std::string interp = program.interpreter();
    if (interp.empty()) {
        return {};
    }
    std::vector<ForeignObject> objects{{sysroot + interp, interp}};
    if (!exists(objects[0].host)) {
        fail(exe + ": its loader " + interp + " is not in " + sysroot);
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> todo{{exe, program.needed()}};
    std::set<std::string> seen;
    while (!todo.empty()) {
        auto [from, names] = std::move(todo.back());
        todo.pop_back();
        for (const std::string& name : names) {
            if (!seen.insert(name).second) {
                continue;
            }
            std::string found;
            for (const char* dir : {"/lib/", "/usr/lib/"}) {
                if (exists(sysroot + dir + name)) {
                    found = dir + name;
                    break;
                }
            }
            if (found.empty()) {
                fail(from + ": needs " + name + ", which is not in " + sysroot +
                     "/lib or /usr/lib");
            }
            if (found != interp) {
                objects.push_back({sysroot + found, found});
            }
            todo.emplace_back(sysroot + found, ElfFile(sysroot + found).needed());
        }
    }
    return objects;
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
