#include "installer/install_record.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/record.hpp"
#include "installer/slot_files.hpp"

namespace installer {

InstallRecord::InstallRecord(const InstallOrigin& origin) {
    const std::string path = board_path(history::kInstallHistory);
    entry_.seq = history::next_seq(history::read(history::Kind::install, path.c_str()));
    entry_.set_text("source", origin.source);
    if (!origin.from.empty()) {
        entry_.set_text("from", origin.from);
    }
    result("interrupted");
}

std::size_t InstallRecord::add(std::uint32_t type, std::uint32_t id, const std::string& target) {
    records_.push_back({record_type_name(type), version_string(id), target, "pending"});
    return records_.size() - 1;
}

void InstallRecord::set_target(std::size_t index, const std::string& target) {
    if (index < records_.size()) {
        records_[index][2] = target;
    }
}

void InstallRecord::set_outcome(std::size_t index, const char* outcome) {
    if (index < records_.size()) {
        records_[index][3] = outcome;
    }
}

void InstallRecord::result(const char* result, const char* reason) {
    entry_.set_text("result", result);
    if (reason != nullptr) {
        entry_.set_text("reason", reason);
    }
}

void InstallRecord::save() {
    entry_.set_items("records", records_);
    const std::string path = board_path(history::kInstallHistory);
    bool damaged = false;
    if (!history::save(history::Kind::install, path.c_str(), entry_, &damaged)) {
        std::printf("Install records cannot be kept in %s (%s).\n", history::kInstallHistory,
                    std::strerror(errno));
        return;
    }
    if (damaged) {
        std::printf("Install records %s were damaged: they start anew with this installation.\n",
                    history::kInstallHistory);
    }
}

}  // namespace installer
