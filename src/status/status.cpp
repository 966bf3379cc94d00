#include "status/status.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string_view>

#include "base/boot_attempts.hpp"
#include "base/json.hpp"
#include "base/partitions.hpp"
#include "base/paths.hpp"
#include "base/untrusted_file.hpp"
#include "flash/flash.hpp"
#include "flash/partition_source.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "installer/installer.hpp"
#include "launch/launch.hpp"
#include "release/release.hpp"

namespace status {

namespace {

const char* match_name(signing::KeyMatch match, std::size_t count) {
    if (count == 0) {
        return "unsigned";
    }
    switch (match) {
        case signing::KeyMatch::holds:
            return "holds";
        case signing::KeyMatch::does_not_hold:
            return "does-not-hold";
        default:
            return "unknown-key";
    }
}

// The record at `offset` of `source` whose header is `h`: its type, version, CRC and, with the
// board's keys, its own signatures.
RecordView view_record(const image::ByteSource& source, std::uint64_t offset, const RecordHeader& h,
                       const signing::KeyRing& ring) {
    RecordView view;
    view.type = record_type_name(h.type());
    view.version = version_string(h.id);
    image::LoadedRecord record;
    const bool loaded = classify_record(h) == RecordFault::none &&
                        image::load_record(source, offset, h, record) == image::LoadResult::loaded;
    view.crc_good = loaded && record.intact();
    if (ring.present == 0) {
        view.signatures.verdict = "no-keys";
    } else if (*view.crc_good) {
        const signing::RecordSignatures s =
            signing::inspect_record_signatures(source, offset, record.bytes, ring);
        view.signatures.count = s.count;
        view.signatures.verdict = match_name(s.match, s.count);
        if (s.key) {
            view.signatures.key_id = signing::key_id_text(*s.key);
            view.signatures.security_counter = s.counter;
        }
    }
    return view;
}

// The first application or diagnostics record of a slot file, as the boot path finds it.
RecordView slot_record(const image::ByteSource& source, const signing::KeyRing& ring) {
    RecordView view;
    image::walk_records(source, [&](const ProbedRecord& rec) {
        const std::uint32_t type = rec.header.type();
        if (type == IMAGE_APPLICATION || type == IMAGE_DIAGS) {
            view = view_record(source, rec.offset, rec.header, ring);
            return false;
        }
        return rec.fault == RecordFault::none;
    });
    return view;
}

Slot read_slot(int number, const base::BootAttempts& attempts, const signing::KeyRing& ring) {
    Slot slot;
    slot.slot = number;
    base::Found found = base::Found::failed;
    const base::UniqueFd fd = base::open_regular(base::slot_path(number), found);
    slot.file = fd ? "present" : found == base::Found::not_regular ? "not-a-file" : "missing";
    if (fd) {
        slot.record = slot_record(image::FileSource::of_fd(fd.get()), ring);
    }
    slot.state = attempts.of(number).confirmed ? "confirmed" : "trial";
    slot.attempts = attempts.of(number).count;
    return slot;
}

// The record type each partition holds at offset 0 (the boot loader's header copy aside).
struct PartitionRecord {
    base::PartitionId id;
    int* fd;
    std::uint32_t type;
};

Partition read_partition(const PartitionRecord& p, const signing::KeyRing& ring) {
    Partition partition;
    partition.name = base::partition(p.id).name;
    if (p.type == IMAGE_BOOT) {
        // Its payload alone is in flash: the header's copy inside it names the version, and no
        // CRC can be checked.
        std::uint8_t header[RECORD_HEADER_SIZE] = {};
        static_cast<void>(read_flash_image_header(IMAGE_BOOT, header, 0));
        const RecordHeader h = parse_header16(
            std::span<const std::uint8_t, RECORD_HEADER_SIZE>(header, RECORD_HEADER_SIZE));
        if (h.type() == IMAGE_BOOT) {
            partition.record.type = record_type_name(h.type());
            partition.record.version = version_string(h.id);
        }
        return partition;
    }
    const flash::PartitionSource source(*p.fd);
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    if (image::read_probe(source, 0, probe) != sizeof probe) {
        return partition;
    }
    const RecordHeader h = parse_probe(probe);
    const bool rescue = p.id == base::PartitionId::rescue;
    if (h.type() == p.type || (rescue && h.type() == IMAGE_APPLICATION)) {
        partition.record = view_record(source, 0, h, ring);
        if (!rescue) {
            partition.record.signatures = {};  // signatures are checked on slots and rescue alone
        }
    }
    return partition;
}

template <class T>
std::string or_null(const std::optional<T>& value) {
    if (!value) {
        return "null";
    }
    if constexpr (std::is_same_v<T, std::string>) {
        return base::json_string(*value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return *value ? "true" : "false";
    } else {
        return std::to_string(*value);
    }
}

std::string boolean(bool value) {
    return value ? "true" : "false";
}

std::optional<std::uint32_t> number(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 10 ||
        text->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long long value = std::stoull(*text);
    if (value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string record_json(const RecordView& r) {
    return "{\"type\": " + or_null(r.type) + ", \"version\": " + or_null(r.version) +
           ", \"crc\": " +
           (r.crc_good ? base::json_string(*r.crc_good ? "good" : "bad") : std::string("null")) +
           ", \"signature\": " + or_null(r.signatures.verdict) +
           ", \"key_id\": " + or_null(r.signatures.key_id) +
           ", \"security_counter\": " + or_null(r.signatures.security_counter) + "}";
}

std::string log_state(const history::Log& log) {
    switch (log.state) {
        case history::State::read:
            return "read";
        case history::State::missing:
            return "missing";
        default:
            return "damaged";
    }
}

// {"FIRST": part 0, "SECOND": part 1} of a list item.
std::string pair_json(const history::Item& item, const char* first, const char* second) {
    auto part = [&](std::size_t i) {
        return or_null(i < item.size() ? std::optional<std::string>(item[i]) : std::nullopt);
    };
    return std::string("{\"") + first + "\": " + part(0) + ", \"" + second + "\": " + part(1) + "}";
}

std::string pairs_json(const std::vector<history::Item>& items, const char* first,
                       const char* second) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + pair_json(items[i], first, second);
    }
    return out + "]";
}

std::optional<bool> yes_no(const std::optional<std::string>& text) {
    if (!text || (*text != "yes" && *text != "no")) {
        return std::nullopt;
    }
    return *text == "yes";
}

std::string boot_json(const history::Entry& e) {
    const std::vector<history::Item> debugger = e.items("debugger");
    std::string out = "{\"seq\": " + std::to_string(e.seq) +
                      ", \"chosen\": " + or_null(number(e.text("chosen"))) +
                      ", \"tried\": " + pairs_json(e.items("tried"), "target", "verdict") +
                      ", \"booted\": " + or_null(e.text("booted")) +
                      ", \"mode\": " + or_null(e.text("mode")) +
                      ", \"attempt\": " + or_null(number(e.text("attempt"))) + ", \"debugger\": " +
                      (debugger.empty() ? "null" : pair_json(debugger[0], "slot", "verdict"));
    return out + ", \"rescue_menu\": " + or_null(yes_no(e.text("rescue_menu"))) + "}";
}

std::string install_json(const history::Entry& e) {
    std::string records = "[";
    const std::vector<history::Item> items = e.items("records");
    for (std::size_t i = 0; i < items.size(); ++i) {
        auto part = [&](std::size_t j) {
            return or_null(j < items[i].size() ? std::optional<std::string>(items[i][j])
                                               : std::nullopt);
        };
        records += (i == 0 ? "" : ", ") + std::string("{\"type\": ") + part(0) +
                   ", \"version\": " + part(1) + ", \"target\": " + part(2) +
                   ", \"outcome\": " + part(3) + "}";
    }
    records += "]";
    return "{\"seq\": " + std::to_string(e.seq) + ", \"source\": " + or_null(e.text("source")) +
           ", \"from\": " + or_null(e.text("from")) + ", \"result\": " + or_null(e.text("result")) +
           ", \"reason\": " + or_null(e.text("reason")) +
           ", \"signature\": " + or_null(e.text("signature")) +
           ", \"security_counter\": " + or_null(number(e.text("counter"))) +
           ", \"security_floor\": " + or_null(number(e.text("floor"))) +
           ", \"override\": " + boolean(e.text("override") == "yes") +
           ", \"products\": " + or_null(e.text("products")) + ", \"records\": " + records + "}";
}

template <class Render>
std::string log_json(const history::Log& log, Render render) {
    std::string out = "{\"state\": " + base::json_string(log_state(log)) + ", \"entries\": [";
    for (std::size_t i = 0; i < log.entries.size(); ++i) {
        out += (i == 0 ? "\n    " : ",\n    ") + render(log.entries[i]);
    }
    return out + "]}";
}

// The text form's words for the history's verdicts.
const char* verdict_text(std::string_view verdict) {
    static constexpr std::pair<std::string_view, const char*> kWords[] = {
        {"booted", "booted"},
        {"used", "used"},
        {"missing", "missing"},
        {"not-a-file", "not a regular file"},
        {"attempts", "not confirmed after its attempts"},
        {"no-record", "no bootable record"},
        {"crc", "CRC failed"},
        {"signature", "signature not verified"},
        {"below-floor", "below the security floor"},
        {"floor-unknown", "security floor unreadable"},
        {"no-tarball", "tarball could not be written"},
        {"unpack", "did not unpack"},
    };
    for (const auto& [code, words] : kWords) {
        if (code == verdict) {
            return words;
        }
    }
    return "unknown";
}

std::string target_text(std::string_view target) {
    if (target == "slot1" || target == "slot2") {
        return "slot " + std::string(target.substr(4));
    }
    if (target == "rescue-image") {
        return "the rescue image";
    }
    if (target == "diags") {
        return "the diagnostics image";
    }
    if (target == "download") {
        return "the download";
    }
    return target == "none" ? "nothing" : std::string(target);
}

std::string record_text(const RecordView& r) {
    if (!r.type) {
        return "no record";
    }
    std::string out = *r.type + " " + r.version.value_or("?");
    if (r.crc_good) {
        out += *r.crc_good ? ", CRC good" : ", CRC bad";
    }
    if (r.signatures.verdict && *r.signatures.verdict != "no-keys") {
        out += ", signature " + *r.signatures.verdict;
        if (r.signatures.key_id) {
            out += " (key " + *r.signatures.key_id + ", counter " +
                   std::to_string(*r.signatures.security_counter) + ")";
        }
    }
    return out;
}

std::string on_off(bool value) {
    return value ? "on" : "off";
}

std::string value_or_unknown(const std::optional<unsigned>& value) {
    return value ? std::to_string(*value) : "unknown";
}

// The newest entries first, at most `shown`.
template <class Line>
std::string log_text(const char* title, const history::Log& log, std::size_t shown, Line line) {
    std::string out = title;
    if (log.state != history::State::read) {
        return out + ": " + log_state(log) + "\n";
    }
    out += " (newest first, " + std::to_string(std::min(shown, log.entries.size())) + " of " +
           std::to_string(log.entries.size()) + " kept):\n";
    for (std::size_t i = 0; i < log.entries.size() && i < shown; ++i) {
        out += "  " + line(log.entries[log.entries.size() - 1 - i]) + "\n";
    }
    return out;
}

std::string boot_line(const history::Entry& e) {
    std::string out =
        "#" + std::to_string(e.seq) + " booted " + target_text(e.text("booted").value_or("?"));
    if (const std::optional<std::string> mode = e.text("mode")) {
        out += " (" + *mode + ")";
    }
    std::string tried;
    for (const history::Item& item : e.items("tried")) {
        if (item.size() == 2 && item[1] != "booted") {
            tried +=
                (tried.empty() ? "" : ", ") + target_text(item[0]) + " " + verdict_text(item[1]);
        }
    }
    if (!tried.empty()) {
        out += ": " + tried;
    }
    if (const std::optional<std::string> attempt = e.text("attempt")) {
        out += "; attempt " + *attempt;
    }
    if (e.text("rescue_menu") == "yes") {
        out += "; rescue menu entered";
    }
    return signing::printable_name(out);
}

std::string install_line(const history::Entry& e) {
    std::string out = "#" + std::to_string(e.seq) + " " + e.text("source").value_or("?");
    if (const std::optional<std::string> from = e.text("from")) {
        out += " " + *from;
    }
    out += ": " + e.text("result").value_or("?");
    if (const std::optional<std::string> reason = e.text("reason")) {
        out += " (" + *reason + ")";
    }
    if (e.text("override") == "yes") {
        out += ", on the operator's word (counter " + e.text("counter").value_or("?") + ", floor " +
               e.text("floor").value_or("?") + ")";
    }
    std::string records;
    for (const history::Item& item : e.items("records")) {
        if (item.size() == 4) {
            records += (records.empty() ? "" : ", ") + item[0] + " " + item[1] + " -> " + item[2] +
                       " " + item[3];
        }
    }
    if (!records.empty()) {
        out += ": " + records;
    }
    return signing::printable_name(out);
}

constexpr PartitionRecord kPartitionRecords[] = {
    {base::PartitionId::uboot, &uboot_fd, IMAGE_BOOT},
    {base::PartitionId::devicetree, &device_tree_fd, IMAGE_DFT},
    {base::PartitionId::kernel, &kernel_fd, IMAGE_KERNEL},
    {base::PartitionId::rfs, &rfs_fd, IMAGE_RFS},
    {base::PartitionId::rescue, &rescue_fd, IMAGE_DIAGS},
};

std::optional<unsigned> vpd_byte(std::uint16_t offset) {
    std::uint8_t value = 0;
    if (vpd_read_byte(offset, &value) < 0) {
        return std::nullopt;
    }
    return value;
}

// The layers below say what fails on standard output, which is the launcher's console; here that
// output is the status itself: while the board is read, what they say goes to standard error.
class OutputToErrors {
public:
    OutputToErrors() noexcept {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        static_cast<void>(::dup2(STDERR_FILENO, STDOUT_FILENO));
    }
    ~OutputToErrors() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            static_cast<void>(::dup2(saved_, STDOUT_FILENO));
            ::close(saved_);
        }
    }
    OutputToErrors(const OutputToErrors&) = delete;
    OutputToErrors& operator=(const OutputToErrors&) = delete;

private:
    int saved_ = -1;
};

}  // namespace

BoardStatus collect() {
    const OutputToErrors quiet;
    BoardStatus board;
    const signing::KeyRing ring = signing::load_keys(signing::kKeysDir);
    board.keys = ring.present;
    for (const std::string& name : ring.damaged) {
        board.damaged_keys.push_back(name);
    }

    base::StateFile found = base::StateFile::read;
    const base::BootAttempts attempts = base::read_boot_attempts(base::kBootAttempts, &found);
    board.attempts_file = found == base::StateFile::read          ? "read"
                          : found == base::StateFile::missing     ? "missing"
                          : found == base::StateFile::not_regular ? "not-a-file"
                                                                  : "damaged";
    for (const int slot : {1, 2}) {
        board.slots.push_back(read_slot(slot, attempts, ring));
    }
    bool counted = false;
    if (const int booted = base::booted_slot(base::kBootedSlot, &counted); booted != 0) {
        board.this_boot_slot = booted;
        board.this_boot_counted = counted;
    }

    static_cast<void>(api_flash_init_read_only());
    std::uint8_t probe = 0;
    board.settings_read = api_flash_read(&probe, uboot_env_fd, 0, 1) == 0;
    if (board.settings_read) {
        const BootSettings s = parse_uboot_env();
        board.settings = {.verify = s.verify_enable != 0,
                          .bootlimit = s.boot_limit,
                          .rescue = s.rescue_enable != 0,
                          .standalone_diags = s.standalone_diags != 0,
                          .gdb = s.gdb_enable != 0,
                          .gdbserver = s.gdbserver_enable != 0,
                          .gdbport = s.gdbport,
                          .memchk = s.memchk_enable != 0,
                          .shell = s.shell_enable != 0};
    }
    for (const PartitionRecord& p : kPartitionRecords) {
        board.partitions.push_back(read_partition(p, ring));
    }

    if (api_i2c_init() == 0) {
        board.vpd_boot_slot = vpd_byte(VPD_IMAGE_OFFSET);
        board.vpd_booted = vpd_byte(VPD_BOOTED_OFFSET);
        board.security_floor = release::read_floor();
    }
    static_cast<void>(api_i2c_close());
    board.product = release::board_product(release::kCompatibleFile);

    board.boots = history::read(history::Kind::boot, history::kBootHistory);
    board.installs = history::read(history::Kind::install, history::kInstallHistory);
    return board;
}

std::string json(const BoardStatus& b) {
    std::string out = "{\n  \"format\": " + std::to_string(kFormat) + ",\n  \"slots\": [";
    for (std::size_t i = 0; i < b.slots.size(); ++i) {
        const Slot& s = b.slots[i];
        out += (i == 0 ? "\n    " : ",\n    ") + std::string("{\"slot\": ") +
               std::to_string(s.slot) + ", \"file\": " + base::json_string(s.file) +
               ", \"record\": " + (s.record.type ? record_json(s.record) : "null") +
               ", \"state\": " + base::json_string(s.state) +
               ", \"attempts\": " + std::to_string(s.attempts) + "}";
    }
    out += "],\n  \"attempts_file\": " + base::json_string(b.attempts_file);
    out += ",\n  \"vpd\": {\"boot_slot\": " + or_null(b.vpd_boot_slot) +
           ", \"booted\": " + or_null(b.vpd_booted) + "}";
    out += ",\n  \"this_boot\": {\"slot\": " + or_null(b.this_boot_slot) +
           ", \"counted\": " + or_null(b.this_boot_counted) + "}";
    if (b.settings_read) {
        const auto& s = b.settings;
        out += ",\n  \"settings\": {\"verify\": " + boolean(s.verify) +
               ", \"bootlimit\": " + std::to_string(s.bootlimit) +
               ", \"rescue\": " + boolean(s.rescue) +
               ", \"standalone_diags\": " + boolean(s.standalone_diags) +
               ", \"gdb\": " + boolean(s.gdb) + ", \"gdbserver\": " + boolean(s.gdbserver) +
               ", \"gdbport\": " + std::to_string(s.gdbport) +
               ", \"memchk\": " + boolean(s.memchk) + ", \"shell\": " + boolean(s.shell) + "}";
    } else {
        out += ",\n  \"settings\": null";
    }
    out += ",\n  \"keys\": {\"present\": " + std::to_string(b.keys) + ", \"damaged\": [";
    for (std::size_t i = 0; i < b.damaged_keys.size(); ++i) {
        out += (i == 0 ? "" : ", ") + base::json_string(b.damaged_keys[i]);
    }
    out += "]}";
    out += ",\n  \"security_floor\": " + or_null(b.security_floor);
    out += ",\n  \"product\": " + or_null(b.product);
    out += ",\n  \"partitions\": [";
    for (std::size_t i = 0; i < b.partitions.size(); ++i) {
        const Partition& p = b.partitions[i];
        out += (i == 0 ? "\n    " : ",\n    ") + std::string("{\"name\": ") +
               base::json_string(p.name) +
               ", \"record\": " + (p.record.type ? record_json(p.record) : "null") + "}";
    }
    out += "],\n  \"boot_history\": " + log_json(b.boots, boot_json);
    out += ",\n  \"install_history\": " + log_json(b.installs, install_json);
    return out + "\n}\n";
}

std::string text(const BoardStatus& b) {
    std::string out;
    for (const Slot& s : b.slots) {
        out += "Slot " + std::to_string(s.slot) + ": ";
        out += s.file == "present"   ? record_text(s.record)
               : s.file == "missing" ? std::string("missing")
                                     : "not a regular file";
        out += "; " + s.state +
               (s.state == "trial" ? ", " + std::to_string(s.attempts) + " attempts" : "") + "\n";
    }
    out += "VPD: boot slot " + value_or_unknown(b.vpd_boot_slot) + ", last booted " +
           value_or_unknown(b.vpd_booted);
    if (b.this_boot_slot) {
        out += "; this boot: slot " + std::to_string(*b.this_boot_slot) +
               (*b.this_boot_counted ? " (counted)" : " (uncounted)");
    }
    out += "\n";
    if (b.settings_read) {
        const auto& s = b.settings;
        out += "Settings: verify " + on_off(s.verify) + ", bootlimit " +
               std::to_string(s.bootlimit) + ", rescue " + on_off(s.rescue) + ", diags " +
               on_off(s.standalone_diags) + ", gdb " + on_off(s.gdb) + ", gdbserver " +
               on_off(s.gdbserver) + ", memchk " + on_off(s.memchk) + ", shell " + on_off(s.shell) +
               "\n";
    } else {
        out += "Settings: unknown (the environment partition cannot be read)\n";
    }
    out +=
        "Keys: " + std::to_string(b.keys) +
        (b.damaged_keys.empty() ? "" : " (" + std::to_string(b.damaged_keys.size()) + " damaged)") +
        "; security floor " +
        (b.security_floor ? std::to_string(*b.security_floor) : std::string("unknown")) +
        "; product " + (b.product ? signing::printable_name(*b.product) : "none") + "\n";
    out += "Flash:";
    for (const Partition& p : b.partitions) {
        out += (&p == b.partitions.data() ? " " : "; ") + p.name + " " + record_text(p.record);
    }
    out += "\n";
    out += log_text("Boots", b.boots, 5, boot_line);
    out += log_text("Installs", b.installs, 3, install_line);
    return out;
}

int status_main(int argc, char** argv) {
    static constexpr const char* kHelp =
        "usage: mplaunch-status [--json]\n"
        "\n"
        "Prints the launcher's view of this board: each image slot's record, CRC, signatures\n"
        "and boot attempts, the VPD's slot bytes, the boot settings, keys, security floor and\n"
        "product, each flash partition's record, the last boots and the last installations.\n"
        "--json prints the same for programs (keys in doc/status.md; null: not known).\n"
        "Reads only: writes no flash, VPD, /user or /tmp. Exit status 0, 2 on misuse.\n";
    bool as_json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            as_json = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mplaunch-status: unexpected argument '%s'\n%s", argv[i], kHelp);
            return 2;
        }
    }
    const BoardStatus board = collect();
    const std::string out = as_json ? json(board) : text(board);
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace status
