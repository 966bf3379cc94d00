// mpboard keys: the public keys a sandbox board holds in /etc/mplaunch/keys.

#include "commands.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "board.hpp"
#include "files.hpp"
#include "image/signature.hpp"

namespace mpboard {
namespace {

const char* const KEYS_HELP =
    "usage: mpboard keys DIR add FILE.pub\n"
    "       mpboard keys DIR list\n"
    "       mpboard keys DIR remove NAME|KEYID\n"
    "\n"
    "The public keys of the board, made by mpimage keygen, in its /etc/mplaunch/keys\n"
    "(etc/mplaunch/keys/ of the board directory). Its key files are the entries named NAME.pub\n"
    "(NAME not empty, not starting with a dot), as the board reads them; each must be a regular\n"
    "file holding one key. With at least one key file there, the installer installs only\n"
    "packages whose signature one of the keys verifies, and with verify=on in the U-Boot\n"
    "environment the boot path boots only what one of them verifies. Without any, the board\n"
    "installs and boots as it would without signatures.\n"
    "\n"
    "  add      copies FILE.pub in under its own name (it must be a public key; a private key\n"
    "           never goes onto a board)\n"
    "  list     one line per entry: a key file's name and key id, or \"damaged\" for a key file\n"
    "           that holds no key (the board counts it as a key that verifies nothing), or\n"
    "           \"ignored\" for an entry that is no key file; names are printed with bytes\n"
    "           outside printable ASCII as \\xNN, and no link is followed\n"
    "  remove   removes the entries of that name or key id, and says when no key file is left\n"
    "\n"
    "Exit status: 0 ok, 1 failure (no such key, not a key, an entry not removed), 2 usage.\n";

}  // namespace

std::string keys_help() {
    return KEYS_HELP;
}

namespace {

constexpr const char* kKeys = "etc/mplaunch/keys";

struct Entry {
    std::string name;
    bool key_file = false;  // named as a key: the board counts it
    std::optional<signing::PublicKey> key;
};

// Every entry of the key directory (the directory itself not followed when it is a link), each
// read as the board reads it.
struct KeyDir {
    base::UniqueFd fd;
    std::vector<Entry> entries;
};

KeyDir key_dir(const Board& board) {
    KeyDir kd{board.open_in(kKeys, O_RDONLY | O_DIRECTORY | O_NOFOLLOW), {}};
    DIR* dir = kd.fd ? ::fdopendir(::dup(kd.fd.get())) : nullptr;
    if (dir == nullptr) {
        if (kd.fd || errno != ENOENT) {
            fail_errno(board.path(kKeys));
        }
        return kd;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            const bool key_file = signing::is_key_file_name(name);
            kd.entries.push_back(
                {name, key_file,
                 key_file ? signing::read_key_at(kd.fd.get(), name.c_str()) : std::nullopt});
        }
    }
    ::closedir(dir);
    std::sort(kd.entries.begin(), kd.entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return kd;
}

std::string id_of(const Entry& e) {
    return e.key ? signing::key_id_text(signing::key_id_of(*e.key)) : std::string();
}

}  // namespace

int run_keys(const Args& args) {
    if (args.size() < 2) {
        std::fputs(KEYS_HELP, stderr);
        usage_fail("keys: expected DIR add|list|remove");
    }
    const Board board = Board::open(args[0]);
    const std::string& action = args[1];
    if (action == "list" && args.size() == 2) {
        for (const Entry& e : key_dir(board).entries) {
            const std::string what = e.key        ? id_of(e)
                                     : e.key_file ? "damaged: holds no key, verifies nothing"
                                                  : "ignored: not a key file name";
            std::printf("%s %s\n", signing::printable_name(e.name).c_str(), what.c_str());
        }
        return EXIT_OK;
    }
    if (action == "add" && args.size() == 3) {
        const std::vector<std::uint8_t> text = read_file(args[2]);
        const auto key = signing::parse_public_key(text);
        const std::string name = split_parent(args[2]).second;
        if (!key || !signing::is_key_file_name(name)) {
            fail(signing::printable_name(args[2]) +
                 ": not a public key file NAME.pub made by mpimage keygen (NAME not empty, not "
                 "starting with a dot)");
        }
        board.make_dirs(kKeys);
        board.write_text(std::string(kKeys) + "/" + name, signing::public_key_text(*key));
        std::printf("%s: key id %s\n", signing::printable_name(name).c_str(),
                    signing::key_id_text(signing::key_id_of(*key)).c_str());
        return EXIT_OK;
    }
    if (action == "remove" && args.size() == 3) {
        const KeyDir kd = key_dir(board);
        bool removed = false;
        bool failed = false;
        std::size_t left = 0;
        for (const Entry& e : kd.entries) {
            if (e.name != args[2] && (!e.key || id_of(e) != args[2])) {
                left += e.key_file ? 1 : 0;
                continue;
            }
            if (::unlinkat(kd.fd.get(), e.name.c_str(), 0) == 0 ||
                (errno == EISDIR && ::unlinkat(kd.fd.get(), e.name.c_str(), AT_REMOVEDIR) == 0)) {
                removed = true;
            } else {
                std::fprintf(stderr, "mpboard: %s: not removed: %s\n",
                             signing::printable_name(e.name).c_str(), std::strerror(errno));
                failed = true;
                left += e.key_file ? 1 : 0;
            }
        }
        if (!removed && !failed) {
            fail("keys: no key " + signing::printable_name(args[2]) + " on the board");
        }
        if (removed && left == 0) {
            std::puts(
                "No key file left: the board now installs packages unchecked, and with verify=on "
                "boots nothing.");
        }
        return failed ? EXIT_FAILED : EXIT_OK;
    }
    std::fputs(KEYS_HELP, stderr);
    usage_fail("keys: expected DIR add FILE.pub, DIR list or DIR remove NAME|KEYID");
}

}  // namespace mpboard
