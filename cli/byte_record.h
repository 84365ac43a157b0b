// Records as bytes, for what worker processes hand to their parent. Workers
// are forks of this very program, so native byte order and sizes are the
// format.
#pragma once

#include <cstdint>
#include <string>

namespace zentrel::cli {

void PutInt(std::string& out, std::int64_t value);
// Its length, then its bytes.
void PutString(std::string& out, const std::string& text);

// Reads what PutInt and PutString wrote, in the same order; each call is
// false once the bytes run out or do not fit.
class ByteReader {
public:
    explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}
    bool Int(std::int64_t& value);
    bool Int(int& value);
    bool String(std::string& text);
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

}  // namespace zentrel::cli
