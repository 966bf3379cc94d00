// mplaunch-status: the launcher's view of the board (status/status.hpp).
#include "status/status.hpp"

int main(int argc, char** argv) {
    return status::status_main(argc, argv);
}
