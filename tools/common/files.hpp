// The host tools' names for the base layer's descriptor owner and whole transfers.
#pragma once

#include "base/io.hpp"
#include "base/unique_fd.hpp"

namespace host_tools {

using base::read_full;
using base::read_to_end;
using base::Transfer;
using base::UniqueFd;
using base::write_all;

}  // namespace host_tools
