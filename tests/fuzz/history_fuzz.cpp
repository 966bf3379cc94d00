// The boot history's and install records' reader over arbitrary bytes: a file it reads is exactly
// what its writer writes for the entries read (nothing is lost or added on the next save), and any
// bytes as a value come back as they went in, whatever they hold.
#include <cstdlib>
#include <string>
#include <string_view>

#include "history/history.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const history::Kind kind : {history::Kind::boot, history::Kind::install}) {
        const history::Log log = history::parse(kind, text);
        if (log.state == history::State::read) {
            if (history::format(kind, log.entries) != text) {
                std::abort();
            }
            for (const history::Entry& entry : log.entries) {
                for (const auto& [key, value] : entry.fields) {
                    static_cast<void>(entry.text(key));
                    static_cast<void>(entry.items(key));
                }
            }
        } else if (!log.entries.empty()) {
            std::abort();
        }
    }
    history::Entry entry;
    entry.seq = 7;
    entry.set_text("from", text.substr(0, history::kMaxLine / 4));
    entry.set_items("records", {{std::string(text.substr(0, 8)), "x"}, {"y"}});
    const history::Log back =
        history::parse(history::Kind::install, history::format(history::Kind::install, {entry}));
    if (back.state != history::State::read || back.entries.size() != 1 ||
        back.entries[0].text("from") != text.substr(0, history::kMaxLine / 4) ||
        back.entries[0].items("records") !=
            std::vector<history::Item>{{std::string(text.substr(0, 8)), "x"}, {"y"}}) {
        std::abort();
    }
    return 0;
}
