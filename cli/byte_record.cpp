#include "byte_record.h"

#include <cstring>

namespace zentrel::cli {

void PutInt(std::string& out, std::int64_t value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof bytes);
}

void PutString(std::string& out, const std::string& text) {
    PutInt(out, static_cast<std::int64_t>(text.size()));
    out += text;
}

bool ByteReader::Int(std::int64_t& value) {
    if (bytes_.size() - at_ < sizeof value) return false;
    std::memcpy(&value, bytes_.data() + at_, sizeof value);
    at_ += sizeof value;
    return true;
}

bool ByteReader::Int(int& value) {
    std::int64_t wide = 0;
    if (!Int(wide)) return false;
    value = static_cast<int>(wide);
    return true;
}

bool ByteReader::String(std::string& text) {
    std::int64_t size = 0;
    if (!Int(size) || size < 0 || static_cast<std::uint64_t>(size) > bytes_.size() - at_) {
        return false;
    }
    text.assign(bytes_, at_, static_cast<std::size_t>(size));
    at_ += static_cast<std::size_t>(size);
    return true;
}

}  // namespace zentrel::cli
