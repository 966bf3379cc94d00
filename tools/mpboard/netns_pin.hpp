// A board's network namespace pinned under a name, for `mpboard run --netns NAME`.
#pragma once

#include <sys/types.h>

#include <string>

namespace mpboard {

// /run/netns/NAME: a bind mount of a board's network namespace (the jail's, or the one its virtual
// machine's cards are in), as `ip netns` makes them, so that a test can give the board an
// interface or serve it from there while it runs. The name goes at the end of the run. One that
// a killed run left (a namespace no process is in any more) is taken away first, with a line.
class NetnsPin {
public:
    explicit NetnsPin(const std::string& name);  // empty: no pin wanted
    NetnsPin(const NetnsPin&) = delete;
    NetnsPin& operator=(const NetnsPin&) = delete;
    ~NetnsPin();
    bool wanted() const noexcept { return !path_.empty(); }
    // Pins the network namespace process `pid` is in.
    void pin(pid_t pid);

private:
    std::string path_;
    bool created_ = false;
    bool mounted_ = false;
};

}  // namespace mpboard
