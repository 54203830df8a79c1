// A small DfuSe file writer for the tests: prefix, targets of elements and
// the DFU suffix, its CRC from zlib (an implementation apart from the
// loader's).
#ifndef STM32_TESTS_FRONTEND_DFUSE_WRITER_H
#define STM32_TESTS_FRONTEND_DFUSE_WRITER_H

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace frontendtest {

struct DfuElement {
    uint32_t address;
    std::vector<uint8_t> data;
};

struct DfuTarget {
    uint8_t alternateSetting;
    std::string name;
    std::vector<DfuElement> elements;
};

inline void putWord(std::vector<uint8_t>* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void putHalf(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

inline std::vector<uint8_t> targetBytes(const DfuTarget& target)
{
    std::vector<uint8_t> elements;
    for (const DfuElement& element : target.elements) {
        putWord(&elements, element.address);
        putWord(&elements, static_cast<uint32_t>(element.data.size()));
        elements.insert(elements.end(), element.data.begin(), element.data.end());
    }
    std::vector<uint8_t> out = {'T', 'a', 'r', 'g', 'e', 't', target.alternateSetting};
    putWord(&out, target.name.empty() ? 0 : 1);
    char name[255] = {};
    std::strncpy(name, target.name.c_str(), sizeof name - 1);
    out.insert(out.end(), name, name + sizeof name);
    putWord(&out, static_cast<uint32_t>(elements.size()));
    putWord(&out, static_cast<uint32_t>(target.elements.size()));
    out.insert(out.end(), elements.begin(), elements.end());
    return out;
}

// The DFU suffix CRC as stored: CRC-32 without its final inversion.
inline uint32_t suffixCrc(const std::vector<uint8_t>& bytes)
{
    return ~static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

inline std::vector<uint8_t> dfuseFile(const std::vector<DfuTarget>& targets)
{
    std::vector<uint8_t> body;
    for (const DfuTarget& target : targets) {
        const std::vector<uint8_t> bytes = targetBytes(target);
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t> file = {'D', 'f', 'u', 'S', 'e', 0x01};
    putWord(&file, static_cast<uint32_t>(11 + body.size()));
    file.push_back(static_cast<uint8_t>(targets.size()));
    file.insert(file.end(), body.begin(), body.end());
    putHalf(&file, 0xFFFF);   // bcdDevice
    putHalf(&file, 0xDF11);   // idProduct
    putHalf(&file, 0x0483);   // idVendor
    putHalf(&file, 0x011A);   // bcdDFU: DfuSe
    file.push_back('U');
    file.push_back('F');
    file.push_back('D');
    file.push_back(16);
    putWord(&file, suffixCrc(file));
    return file;
}

} // namespace frontendtest

#endif
