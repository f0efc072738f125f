// Text and byte-order helpers. The text forms are fixed because the RAW file header and
// register dumps are written with them.
#include <vireo/Helpers.h>

#include <cstdint>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <utility>

namespace vireo {

std::string getSysTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::ostringstream out;
    out << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
    return out.str();
}

std::string hexToString(int value, int width) {
    std::ostringstream out;
    out << std::uppercase << std::hex << std::setw(width) << std::setfill('0')
        << static_cast<uint32_t>(value);
    return out.str();
}

std::string intToString(int value, int width) {
    // std::internal would put the fill after the sign; the fill goes in front of it.
    std::ostringstream out;
    out << std::right << std::setw(width) << std::setfill('0') << value;
    return out.str();
}

void convertEndian(std::vector<unsigned char>& data) {
    const std::size_t whole_words = data.size() / 2 * 2;
    for (std::size_t i = 0; i < whole_words; i += 2) {
        std::swap(data[i], data[i + 1]);
    }
}

void swap16(unsigned char* p) { std::swap(p[0], p[1]); }

}  // namespace vireo
