// A locked jail's control group: its PID 1 and everything it starts, with a process and a memory
// limit. cgroup v2 where its controllers are there (a group below the root of the hierarchy for
// root, below the caller's own group for a caller it was delegated to), else cgroup v1's pids and
// memory hierarchies (mounted under /sys/fs/cgroup/<controller>).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "jail/steps.hpp"

namespace jail::steps {

namespace {

constexpr const char* kHierarchies = "/sys/fs/cgroup";

std::string read_small(const std::string& path) {
    const base::UniqueFd fd(::openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<std::uint8_t, 4096> buffer{};
    const std::size_t n = fd ? base::read_full(fd.get(), buffer, 0).done : 0;
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n)};
}

void write_value(const std::string& path, const std::string& value) {
    const base::UniqueFd fd(::openat(AT_FDCWD, path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd || !base::write_all(
                   fd.get(), {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()})) {
        fail("writing " + value + " to " + path, errno);
    }
}

bool has_word(std::string_view list, std::string_view word, char separator) {
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t end = std::min(list.find(separator, at), list.size());
        if (list.substr(at, end - at) == word) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// The caller's group in each hierarchy, from /proc/self/cgroup ("ID:CONTROLLERS:PATH" lines).
std::string own_group(std::string_view controller) {
    const std::string text = read_small("/proc/self/cgroup");
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = std::string_view(text).substr(at, end - at);
        at = end + 1;
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) {
            continue;
        }
        const auto controllers = line.substr(first + 1, second - first - 1);
        if (controllers.empty() ? controller.empty() : has_word(controllers, controller, ',')) {
            const auto path = line.substr(second + 1);
            return path == "/" ? std::string() : std::string(path);
        }
    }
    return {};
}

constexpr std::string_view kPrefix = "mpboard-";

// Groups that callers killed with SIGKILL left (named after a process that is gone): empty ones
// go, and rmdir fails on one still in use.
void remove_left_groups(const std::string& parent) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(parent.c_str()), ::closedir);
    while (const dirent* e = dir ? ::readdir(dir.get()) : nullptr) {
        const std::string_view name = e->d_name;
        const long caller =
            name.starts_with(kPrefix) ? std::strtol(e->d_name + kPrefix.size(), nullptr, 10) : 0;
        if (caller > 0 && ::kill(static_cast<pid_t>(caller), 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(dir.get()), e->d_name, AT_REMOVEDIR);
        }
    }
}

}  // namespace

ControlGroups::ControlGroups(pid_t init, const JailOptions& options) {
    std::string name = "/";
    name.append(kPrefix).append(std::to_string(::getpid()));
    const std::string v2 = kHierarchies;
    const std::string v2_controllers = read_small(v2 + "/cgroup.controllers");
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> groups;
    const std::string pids = std::to_string(options.pids_max);
    const std::string memory = std::to_string(options.memory_max);
    if (has_word(v2_controllers.substr(0, v2_controllers.find('\n')), "pids", ' ') &&
        has_word(v2_controllers.substr(0, v2_controllers.find('\n')), "memory", ' ')) {
        const std::string parent = ::geteuid() == 0 ? v2 : v2 + own_group("");
        write_value(parent + "/cgroup.subtree_control", "+pids +memory");
        groups.push_back({parent + name,
                          {{"pids.max", pids}, {"memory.max", memory}, {"memory.swap.max", "0"}}});
    } else {
        groups.push_back({v2 + "/pids" + own_group("pids") + name, {{"pids.max", pids}}});
        groups.push_back(
            {v2 + "/memory" + own_group("memory") + name,
             {{"memory.limit_in_bytes", memory}, {"memory.memsw.limit_in_bytes", memory}}});
    }
    try {
        for (const auto& [dir, limits] : groups) {
            remove_left_groups(dir.substr(0, dir.rfind('/')));
            if (::mkdir(dir.c_str(), 0755) != 0) {
                fail("making the control group " + dir, errno);
            }
            dirs_.push_back(dir);
            for (const auto& [file, value] : limits) {
                // Swap limits exist only where the kernel accounts swap.
                if (file.find("sw") == std::string::npos ||
                    ::faccessat(AT_FDCWD, (dir + "/" + file).c_str(), F_OK, 0) == 0) {
                    write_value(dir + "/" + file, value);
                }
            }
            write_value(dir + "/cgroup.procs", std::to_string(init));
        }
    } catch (const StepFailed&) {
        for (const std::string& dir : dirs_) {
            ::rmdir(dir.c_str());
        }
        throw;
    }
}

ControlGroups::~ControlGroups() {
    for (const std::string& dir : dirs_) {
        if (::rmdir(dir.c_str()) != 0) {
            std::fprintf(stderr, "mpboard: %s: the board's control group stays: %s\n", dir.c_str(),
                         std::strerror(errno));
        }
    }
}

}  // namespace jail::steps
