#include "keys.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "board.hpp"
#include "files.hpp"
#include "image/signature.hpp"

namespace mpboard {

const char* const KEYS_HELP =
    "usage: mpboard keys DIR add FILE.pub\n"
    "       mpboard keys DIR list\n"
    "       mpboard keys DIR remove NAME.pub|KEYID\n"
    "\n"
    "The public keys of the board: files *.pub in its /etc/mplaunch/keys (etc/mplaunch/keys/\n"
    "of the board directory), made by mpimage keygen. With at least one there, the installer\n"
    "installs only packages whose signature one of them verifies, and with verify=on in the\n"
    "U-Boot environment the boot path boots only slot files whose own signature one of them\n"
    "verifies. Without any, the board installs and boots as it would without signatures.\n"
    "\n"
    "  add      copies FILE.pub in under its own name (it must be a public key; a private key\n"
    "           never goes onto a board)\n"
    "  list     one line per file: its name and key id (or \"not a key\", which the board counts\n"
    "           as a key that verifies nothing)\n"
    "  remove   removes the key file of that name or key id\n"
    "\n"
    "Exit status: 0 ok, 1 failure (no such key, not a key), 2 usage.\n";

namespace {

constexpr const char* kKeys = "etc/mplaunch/keys";

struct KeyFile {
    std::string name;
    std::optional<signing::PublicKey> key;
};

std::vector<KeyFile> key_files(const Board& board) {
    std::vector<KeyFile> files;
    // Names only come from the listing; the files are read through the board's own root.
    const int fd =
        ::open(board.path(kKeys).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return files;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name[0] != '.' && name.ends_with(".pub")) {
            const std::vector<std::uint8_t> text = board.read(std::string(kKeys) + "/" + name);
            files.push_back({name, signing::parse_public_key(text)});
        }
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const KeyFile& a, const KeyFile& b) { return a.name < b.name; });
    return files;
}

}  // namespace

int cmd_keys(std::vector<std::string> args) {
    if (args.size() < 2) {
        std::fputs(KEYS_HELP, stderr);
        usage_fail("keys: expected DIR add|list|remove");
    }
    const Board board = Board::open(args[0]);
    const std::string& action = args[1];
    if (action == "list" && args.size() == 2) {
        for (const KeyFile& f : key_files(board)) {
            std::printf(
                "%s %s\n", f.name.c_str(),
                f.key ? signing::key_id_text(signing::key_id_of(*f.key)).c_str() : "not a key");
        }
        return EXIT_OK;
    }
    if (action == "add" && args.size() == 3) {
        const std::vector<std::uint8_t> text = read_file(args[2]);
        const auto key = signing::parse_public_key(text);
        const std::string name = split_parent(args[2]).second;
        if (!key || !name.ends_with(".pub")) {
            fail(args[2] + ": not a public key file NAME.pub made by mpimage keygen");
        }
        board.make_dirs(kKeys);
        board.write_text(std::string(kKeys) + "/" + name, signing::public_key_text(*key));
        std::printf("%s: key id %s\n", name.c_str(),
                    signing::key_id_text(signing::key_id_of(*key)).c_str());
        return EXIT_OK;
    }
    if (action == "remove" && args.size() == 3) {
        bool removed = false;
        for (const KeyFile& f : key_files(board)) {
            if (f.name == args[2] ||
                (f.key && signing::key_id_text(signing::key_id_of(*f.key)) == args[2])) {
                board.remove(std::string(kKeys) + "/" + f.name);
                removed = true;
            }
        }
        if (!removed) {
            fail("keys: no key " + args[2] + " on the board");
        }
        return EXIT_OK;
    }
    std::fputs(KEYS_HELP, stderr);
    usage_fail("keys: expected DIR add FILE.pub, DIR list or DIR remove NAME.pub|KEYID");
}

}  // namespace mpboard
