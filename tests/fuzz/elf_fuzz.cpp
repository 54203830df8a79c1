// ELF reading under hostile bytes. Input: bytes 0-1 the capacity, bytes 2-5
// the flash start; the rest is the file. The name does not say ELF, so the
// magic alone must choose the format.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "loader_contract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const uint32_t capacity = in.word(2);
    const uint32_t flashStart = in.word(4);
    const std::string rest = in.rest();
    const std::vector<uint8_t> file(rest.begin(), rest.end());
    fuzz::LoadOutcome out;
    fuzz::checkContract("fuzz.bin", file, capacity, flashStart, &out);
    if (file.size() >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F') {
        FUZZ_CHECK(out.result.format == STM32_IMAGE_ELF);
    }
    return 0;
}
