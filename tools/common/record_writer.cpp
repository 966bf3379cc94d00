#include "common/record_writer.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "base/byte_order.hpp"
#include "crc/crc.hpp"
#include "image/record.hpp"

namespace host_tools {

std::vector<std::uint8_t> record_header(std::uint32_t magic, std::uint32_t id, std::uint32_t len,
                                        std::uint32_t header_length) {
    std::vector<std::uint8_t> header(header_length, 0);
    store_be32(std::span(header).subspan<4, 4>(), len);
    store_be32(std::span(header).subspan<8, 4>(), magic);
    store_be32(std::span(header).subspan<12, 4>(), id);
    if ((magic & RECORD_EXTENDED) != 0) {
        store_be16(std::span(header).subspan<18, 2>(), static_cast<std::uint16_t>(header_length));
    }
    return header;
}

void store_record_crc(std::span<std::uint8_t> record, std::uint32_t crc) {
    store_be32(record.first<4>(), crc);
}

std::vector<std::uint8_t> make_record(std::uint32_t magic, std::uint32_t id,
                                      std::span<const std::uint8_t> payload) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max() - RECORD_HEADER_SIZE) {
        throw std::length_error("payload too large for a record");
    }
    std::vector<std::uint8_t> rec =
        record_header(magic, id, static_cast<std::uint32_t>(payload.size()), RECORD_HEADER_SIZE);
    rec.insert(rec.end(), payload.begin(), payload.end());
    store_record_crc(
        rec, gen_crc(rec.data() + 4, static_cast<std::uint32_t>(rec.size() - 4), CRC_START));
    return rec;
}

}  // namespace host_tools
