// DfuSe reading under hostile bytes. Input: byte 0 the mode, bytes 1-2 the
// capacity, bytes 3-6 the flash start; the rest is the file. With mode bit
// 0x01 the suffix is made valid first (signature, length, CRC), so that the
// fuzzer reaches the prefix, targets and elements behind the CRC check.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "loader_contract.h"

namespace {

uint32_t dfuCrc(const std::vector<uint8_t>& bytes, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

void makeSuffixValid(std::vector<uint8_t>* file)
{
    if (file->size() < 16) return;
    const size_t suffix = file->size() - 16;
    (*file)[suffix + 8] = 'U';
    (*file)[suffix + 9] = 'F';
    (*file)[suffix + 10] = 'D';
    (*file)[suffix + 11] = 16;
    const uint32_t crc = dfuCrc(*file, file->size() - 4);
    for (int i = 0; i < 4; ++i) (*file)[suffix + 12 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const uint32_t capacity = in.word(2);
    const uint32_t flashStart = in.word(4);
    const std::string rest = in.rest();
    std::vector<uint8_t> file(rest.begin(), rest.end());
    if (mode & 0x01) makeSuffixValid(&file);
    fuzz::LoadOutcome out;
    fuzz::checkContract("fuzz.dfu", file, capacity, flashStart, &out);
    return 0;
}
