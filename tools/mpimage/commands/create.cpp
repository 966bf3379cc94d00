// mpimage create: writes records from payload files into a package.

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <vector>

#include "commands.hpp"
#include "common/record_writer.hpp"
#include "crc/crc.hpp"
#include "image/compatible.hpp"
#include "image/record.hpp"
#include "package_file.hpp"

namespace mpimage {

namespace {

const char* const CREATE_HELP =
    "usage: mpimage create OUTPUT [--compatible NAME]... RECORD...\n"
    "\n"
    "Writes an image package: the records back to back, in the order given.\n"
    "\n"
    "  --compatible NAME  a product the package is for (repeatable, anywhere; at most 16 names\n"
    "                   of 1..64 letters, digits and ._+-): a record of type compatible\n"
    "                   (0x08504F4C) naming them goes first. A board whose product name\n"
    "                   (/etc/mplaunch/compatible) is not among them refuses the package; a\n"
    "                   package without names installs on every board. Signing covers it.\n"
    "\n"
    "Each RECORD starts with --type and takes the options after it:\n"
    "\n"
    "  --type T         application, boot, kernel, rfs, dft, diags, or a type code 0xNNNNNNNN\n"
    "                   (bit 31 clear; it is the extended-header flag, see --extended)\n"
    "  --version A.B.C.D  version stored in the id field, each part 0..255 (default 0.0.0.0)\n"
    "  --payload FILE   the payload bytes (required; /dev/null is not a regular file, use an\n"
    "                   empty file for an empty payload)\n"
    "  --extended       extended header (magic bit 31 set), 20 bytes unless --hdrlen says more\n"
    "  --hdrlen N       extended header of N bytes, 20..65535 (implies --extended); the bytes\n"
    "                   after the length field are written as zeros and covered by the CRC\n"
    "  --bad-crc        store the complement of the right CRC, a damaged record for tests\n"
    "  --no-header-copy boot records only: write the payload unchanged (see below)\n"
    "\n"
    "Boot-loader records: the installer compares a new boot loader with the installed one by\n"
    "the 16 bytes at byte 240 of the boot-loader partition, where the boot loader keeps a copy\n"
    "of its own record header. create therefore overwrites payload bytes 240..255 with that\n"
    "copy: bytes 240..243 (the copy's crc field) are 0, because the record's CRC covers the\n"
    "copy and so cannot be stored inside it, and no reader compares them; bytes 244..255 are\n"
    "the record's len, magic and id, exactly as in its header. A boot payload shorter than 256\n"
    "bytes has no room for the copy and is refused (exit 2), unless --no-header-copy is given.\n"
    "\n"
    "Lengths are 32-bit on the board: a record longer than 4 GiB - 1 is refused. A package\n"
    "whose last record is shorter than 20 bytes is refused too: readers take a 20-byte probe at\n"
    "each record and would never see it.\n"
    "\n"
    "OUTPUT is written under a temporary name and renamed into place when complete; an\n"
    "existing OUTPUT is replaced.\n"
    "\n"
    "Exit status: 0 written, 2 usage or I/O error (nothing is written).\n";

}  // namespace

std::string create_help() {
    return CREATE_HELP;
}

namespace {

struct RecordPlan {
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::optional<std::string> payload;
    bool extended = false;
    std::uint32_t hdrlen = MIN_EXTENDED_HDRLEN;
    bool bad_crc = false;
    bool header_copy = true;
};

std::uint32_t parse_type(const std::string& text) {
    static constexpr std::array<std::uint32_t, 6> types = {
        IMAGE_APPLICATION, IMAGE_BOOT, IMAGE_KERNEL, IMAGE_RFS, IMAGE_DFT, IMAGE_DIAGS};
    for (const std::uint32_t type : types) {
        if (text == record_type_name(type)) {
            return type;
        }
    }
    if (text.rfind("0x", 0) != 0 && text.rfind("0X", 0) != 0) {
        usage_error("unknown record type '" + text +
                    "' (application, boot, kernel, rfs, dft, diags or 0xNNNNNNNN)");
    }
    const auto code = parse_number(text);
    if (!code) {
        usage_error("bad type code '" + text + "'");
    }
    if ((*code & RECORD_EXTENDED) != 0) {
        usage_error("type code " + text + " has bit 31 set: that bit is the extended-header " +
                    "flag, give --extended instead");
    }
    return *code;
}

std::uint32_t parse_version(const std::string& text) {
    std::uint32_t id = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.', pos) : text.size();
        if (dot == std::string::npos) {
            usage_error("bad version '" + text + "' (expected A.B.C.D)");
        }
        const std::string field = text.substr(pos, dot - pos);
        const bool digits =
            !field.empty() && field.find_first_not_of("0123456789") == std::string::npos;
        const auto value = digits ? parse_number(field) : std::nullopt;
        if (!value || *value > 255) {
            usage_error("bad version '" + text + "' (expected A.B.C.D, each 0..255)");
        }
        id = id << 8 | *value;
        pos = dot + 1;
    }
    return id;
}

struct PackagePlan {
    std::vector<std::string> products;  // --compatible
    std::vector<RecordPlan> records;
};

// The records in the order of the options: each starts with --type, the options after it are its.
PackagePlan parse_records(const Args& args) {
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(args,
                               {.command = "create",
                                .options = {{"--type", true},
                                            {"--version", true},
                                            {"--payload", true},
                                            {"--extended"},
                                            {"--hdrlen", true},
                                            {"--bad-crc"},
                                            {"--no-header-copy"},
                                            {"--compatible", true}},
                                .max_positional = 0},
                               ARG_RULES);
    PackagePlan plan;
    std::vector<RecordPlan>& records = plan.records;
    for (const host_tools::ParsedArgs::Item& item : parsed.items()) {
        const std::string& opt = item.option;
        if (opt == "--compatible") {
            if (!image::is_product_name(item.value)) {
                usage_error("bad --compatible '" + item.value +
                            "': a product name is 1..64 letters, digits and ._+-");
            }
            if (std::find(plan.products.begin(), plan.products.end(), item.value) ==
                plan.products.end()) {
                plan.products.push_back(item.value);
            }
            if (plan.products.size() > image::kMaxProducts) {
                usage_error("--compatible: at most 16 product names");
            }
            continue;
        }
        if (opt == "--type") {
            records.emplace_back();
            records.back().type = parse_type(item.value);
            continue;
        }
        if (records.empty()) {
            usage_error("'" + opt + "' before the first --type: every record starts with --type");
        }
        RecordPlan& rec = records.back();
        if (opt == "--version") {
            rec.id = parse_version(item.value);
        } else if (opt == "--payload") {
            rec.payload = item.value;
        } else if (opt == "--extended") {
            rec.extended = true;
        } else if (opt == "--hdrlen") {
            const std::string& text = item.value;
            const auto n = parse_number(text);
            if (!n || *n < MIN_EXTENDED_HDRLEN || *n > 0xFFFFu) {
                usage_error("bad --hdrlen '" + text +
                            "': an extended header is 20..65535 bytes (it must cover its own "
                            "length field at bytes 18..19)");
            }
            rec.extended = true;
            rec.hdrlen = *n;
        } else if (opt == "--bad-crc") {
            rec.bad_crc = true;
        } else if (opt == "--no-header-copy") {
            rec.header_copy = false;
        }
    }
    if (records.empty()) {
        usage_error("no records given");
    }
    for (std::size_t n = 0; n < records.size(); ++n) {
        if (!records[n].payload) {
            usage_error("record " + std::to_string(n) + " has no --payload");
        }
    }
    return plan;
}

// Writes one record at the output's current position. The header goes first with a zero CRC;
// the payload is streamed through the CRC and the CRC is written last, so a payload of any size
// passes through one chunk of memory.
void write_record(OutputFile& out, const RecordPlan& plan, std::size_t index, bool last) {
    InputFile payload(*plan.payload);
    const std::uint32_t header_length =
        plan.extended ? plan.hdrlen : static_cast<std::uint32_t>(RECORD_HEADER_SIZE);
    if (payload.size() > 0xFFFFFFFFu - header_length) {
        throw Failure(EXIT_USAGE, payload.path() + ": " + std::to_string(payload.size()) +
                                      " bytes: record " + std::to_string(index) +
                                      " would exceed the 32-bit record length");
    }
    const auto len = static_cast<std::uint32_t>(payload.size());
    if (last && header_length + len < RECORD_PROBE_SIZE) {
        throw Failure(EXIT_USAGE, payload.path() + ": the last record would be " +
                                      std::to_string(header_length + len) +
                                      " bytes long; readers need at least 20 to see it (give a "
                                      "payload of at least 4 bytes)");
    }
    const bool copy = plan.type == IMAGE_BOOT && plan.header_copy;
    if (copy && len < BOOT_HEADER_COPY_OFFSET + RECORD_HEADER_SIZE) {
        throw Failure(EXIT_USAGE,
                      payload.path() + ": boot-loader payload of " + std::to_string(len) +
                          " bytes: it needs at least 256 to hold the copy of its header at byte "
                          "240 (--no-header-copy writes it without the copy)");
    }

    const std::uint32_t magic = plan.type | (plan.extended ? RECORD_EXTENDED : 0u);
    const std::vector<std::uint8_t> header =
        host_tools::record_header(magic, plan.id, len, header_length);
    std::array<std::uint8_t, RECORD_HEADER_SIZE> header_copy{};
    std::copy_n(header.begin() + 4, 12, header_copy.begin() + 4);

    const std::uint64_t start = out.position();
    out.write(header);
    std::uint32_t crc = gen_crc(header.data() + 4, header_length - 4, CRC_START);

    std::vector<std::uint8_t> chunk(CHUNK);
    std::uint64_t done = 0;
    while (done < len) {
        const std::size_t want = len - done < CHUNK ? static_cast<std::size_t>(len - done) : CHUNK;
        const std::size_t got = payload.read_at(done, std::span(chunk.data(), want));
        if (got != want) {
            throw Failure(EXIT_USAGE, payload.path() + ": file shrank while being read");
        }
        if (copy) {
            // Patch the header copy into whichever part of it this chunk holds.
            for (std::size_t k = 0; k < RECORD_HEADER_SIZE; ++k) {
                const std::uint64_t at = BOOT_HEADER_COPY_OFFSET + k;
                if (at >= done && at < done + got) {
                    chunk[static_cast<std::size_t>(at - done)] = header_copy[k];
                }
            }
        }
        crc = gen_crc(chunk.data(), static_cast<std::uint32_t>(got), crc);
        out.write(std::span<const std::uint8_t>(chunk.data(), got));
        done += got;
    }
    if (plan.bad_crc) {
        crc = ~crc;
    }
    std::array<std::uint8_t, 4> crc_bytes{};
    host_tools::store_record_crc(crc_bytes, crc);
    out.write_at(start, crc_bytes);
}

}  // namespace

int run_create(const Args& args) {
    if (args.size() < 2) {
        usage_error("create needs OUTPUT and at least one record");
    }
    const std::string& output = args[0];
    if (output.rfind("--", 0) == 0) {
        usage_error("create: the first argument is OUTPUT, not '" + output + "'");
    }
    const PackagePlan plan = parse_records(Args(args.begin() + 1, args.end()));
    const std::vector<RecordPlan>& records = plan.records;
    OutputFile out(output);
    if (!plan.products.empty()) {
        out.write(host_tools::make_record(image::IMAGE_COMPATIBLE, 0,
                                          image::compatible_payload(plan.products)));
    }
    for (std::size_t n = 0; n < records.size(); ++n) {
        write_record(out, records[n], n, n + 1 == records.size());
    }
    out.commit();
    std::printf("%s: %zu record%s, %llu bytes\n", output.c_str(), records.size(),
                records.size() == 1 ? "" : "s", static_cast<unsigned long long>(out.position()));
    return EXIT_GOOD;
}

}  // namespace mpimage
