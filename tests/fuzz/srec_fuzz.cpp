// S-record reading under hostile text, and a round trip from a recipe.
//
// Input: byte 0 the mode, bytes 1-2 the capacity, bytes 3-6 the flash start
// (raw mode only); the rest is the file (raw mode) or the recipe of a
// well-formed file (mode bit 0x80), written by an encoder of its own and
// checked byte by byte against a model.
#include <map>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "loader_contract.h"

namespace {

class SrecWriter {
public:
    void record(char type, int addressBytes, uint32_t address, const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> body{static_cast<uint8_t>(addressBytes + data.size() + 1)};
        for (int i = addressBytes - 1; i >= 0; --i) body.push_back(static_cast<uint8_t>(address >> (8 * i)));
        body.insert(body.end(), data.begin(), data.end());
        uint8_t sum = 0;
        for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
        body.push_back(static_cast<uint8_t>(~sum));
        text_ += 'S';
        text_ += type;
        static const char digits[] = "0123456789ABCDEF";
        for (uint8_t b : body) {
            text_ += digits[b >> 4];
            text_ += digits[b & 15];
        }
        text_ += '\n';
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(text_.begin(), text_.end()); }

private:
    std::string text_;
};

void roundTrip(fuzz::Input& in, uint32_t capacity)
{
    constexpr uint32_t flashStart = 0x08000000;
    SrecWriter writer;
    writer.record('0', 2, 0, {'f', 'u', 'z', 'z'});
    std::map<uint32_t, uint8_t> model;
    for (int records = 0; !in.empty() && records < 100; ++records) {
        // Disjoint records inside the flash: the loader must keep every byte.
        const uint32_t position = in.word(2) % (capacity == 0 ? 1 : capacity);
        std::vector<uint8_t> data(1 + in.byte() % 32);
        for (auto& b : data) b = in.byte();
        bool clash = position + data.size() > capacity;
        for (size_t i = 0; !clash && i < data.size(); ++i) clash = model.count(position + static_cast<uint32_t>(i)) != 0;
        if (clash) continue;
        writer.record('3', 4, flashStart + position, data);
        for (size_t i = 0; i < data.size(); ++i) model[position + static_cast<uint32_t>(i)] = data[i];
    }
    writer.record('7', 4, flashStart, {});
    fuzz::LoadOutcome out;
    fuzz::checkContract("recipe.srec", writer.bytes(), capacity, flashStart, &out);
    if (model.empty()) {
        FUZZ_CHECK(out.result.status == STM32_LOAD_EMPTY);
        return;
    }
    FUZZ_CHECK(out.result.status == STM32_LOAD_OK);
    FUZZ_CHECK(out.result.length == model.rbegin()->first + 1);
    for (const auto& [position, value] : model) FUZZ_CHECK(out.image[position] == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const uint32_t capacity = in.word(2);
    if (mode & 0x80) {
        roundTrip(in, capacity);
        return 0;
    }
    const uint32_t flashStart = in.word(4);
    const std::string rest = in.rest();
    fuzz::LoadOutcome out;
    fuzz::checkContract("fuzz.srec", std::vector<uint8_t>(rest.begin(), rest.end()), capacity, flashStart, &out);
    return 0;
}
