// This boot's entry in the boot history: what the boot path tried, in order, with each verdict,
// what it booted and how. The entry is saved when the boot's outcome is known (the launch, the
// reset) and when the rescue menu is entered (a menu left by a reset or a power cut is then on
// record too); a later save in the same boot replaces it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "history/history.hpp"
#include "launch/launch_steps.hpp"

namespace launch::journal {

namespace {

struct Journal {
    bool begun = false;
    bool launched = false;
    bool said_unkept = false;
    history::Entry entry;
    std::vector<history::Item> tried;
    std::string booting;  // the image being unpacked, until it is launched
};

Journal journal;

void save() {
    if (!journal.begun) {
        return;
    }
    journal.entry.set_items("tried", journal.tried);
    bool damaged = false;
    if (!history::save(history::Kind::boot, history::kBootHistory, journal.entry, &damaged)) {
        if (!journal.said_unkept) {
            std::fprintf(stderr, "Boot history cannot be kept in %s (%s).\n", history::kBootHistory,
                         std::strerror(errno));
            journal.said_unkept = true;
        }
        return;
    }
    if (damaged) {
        std::fprintf(stderr, "Boot history %s was damaged: it starts anew with this boot.\n",
                     history::kBootHistory);
    }
}

}  // namespace

void begin() {
    journal = Journal{};
    journal.begun = true;
    journal.entry.seq =
        history::next_seq(history::read(history::Kind::boot, history::kBootHistory));
    journal.entry.set_text("booted", "none");
    journal.entry.set_text("rescue_menu", "no");
}

void chosen(int slot) {
    journal.entry.set_text("chosen", std::to_string(slot));
}

void rescue_menu() {
    journal.entry.set_text("rescue_menu", "yes");
    save();
}

void tried(const char* target, const char* verdict) {
    journal.tried.push_back({target, verdict});
}

void tried(int slot, const char* verdict) {
    tried(slot == 2 ? "slot2" : "slot1", verdict);
}

void booting(const char* target) {
    journal.booting = target;
}

void counted(unsigned attempt) {
    journal.entry.set_text("attempt", std::to_string(attempt));
}

void debugger(int slot, const char* verdict) {
    journal.entry.set_items("debugger", {{slot == 2 ? "slot2" : "slot1", verdict}});
}

void launched(const char* mode) {
    if (journal.launched || journal.booting.empty()) {
        return;
    }
    journal.launched = true;
    tried(journal.booting.c_str(), "booted");
    journal.entry.set_text("booted", journal.booting);
    journal.entry.set_text("mode", mode);
    save();
}

void ended() {
    if (journal.launched) {
        return;
    }
    if (!journal.booting.empty()) {
        tried(journal.booting.c_str(), "unpack");
        journal.booting.clear();
    }
    save();
}

}  // namespace launch::journal
