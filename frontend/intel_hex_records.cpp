// The image loader's reading of an Intel HEX file: the core's record reader
// and record rules, and for each data record a chunk that names its line.
// Stricter than decodeIntelHex in one point: an extended address below flash
// start is refused where it stands, not at the next data record.
#include "image_chunks.h"

#include "intel_hex.h"
#include "intel_hex_records.h"

namespace frontend {

namespace {

std::string lineError(uint32_t line, const std::string& what)
{
    return format("line %u: %s", line, what.c_str());
}

std::string syntaxError(const stm32::IntelHexReader& reader, const stm32::IntelHexRecord& record)
{
    switch (reader.fault()) {
    case stm32::IntelHexSyntax::NoRecordAtStart: return "the file does not begin with a record (':')";
    case stm32::IntelHexSyntax::TextOutsideRecord: return "text outside a record (each record begins with ':')";
    case stm32::IntelHexSyntax::NoEndRecord: return "the file ends without an end-of-file record";
    case stm32::IntelHexSyntax::HeaderNotHex: return "the record header is not hexadecimal digits";
    case stm32::IntelHexSyntax::ShortData:
        return format("the record is shorter than its byte count %u", record.byteCount);
    case stm32::IntelHexSyntax::NoChecksum: return "the record has no checksum";
    case stm32::IntelHexSyntax::WrongChecksum: break;
    }
    return format("checksum 0x%02X is wrong (0x%02X expected)", reader.checksum(), reader.expectedChecksum());
}

std::string recordError(IntelHexFault fault, const stm32::IntelHexRecord& record, const IntelHexState& state,
                        uint32_t flashStart)
{
    switch (fault) {
    case IntelHexFault::UnsupportedType: return format("record type 0x%02X is not supported", record.type);
    case IntelHexFault::AddressRecordLength: return "an extended address record needs 2 data bytes";
    case IntelHexFault::BeyondAddressSpace: return "data beyond the 32-bit address space";
    case IntelHexFault::BelowFlashStart:
        return format("extended address 0x%08X lies below flash start 0x%08X", state.base, flashStart);
    case IntelHexFault::None: break;
    }
    return std::string();
}

void addChunk(const stm32::IntelHexRecord& record, uint64_t position, ParsedImage* out)
{
    Chunk chunk;
    chunk.position = static_cast<int64_t>(position);
    chunk.dataOffset = out->pool.size();
    chunk.size = record.byteCount;
    chunk.inPool = true;
    chunk.origin = format("line %u", record.line);
    out->pool.insert(out->pool.end(), record.data, record.data + record.byteCount);
    out->chunks.push_back(std::move(chunk));
}

} // namespace

std::string parseIntelHexRecords(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out)
{
    out->file = bytes;
    stm32::IntelHexReader reader(reinterpret_cast<const char*>(bytes), length);
    stm32::IntelHexRecord record;
    IntelHexState state{};
    for (;;) {
        switch (reader.next(&record)) {
        case stm32::IntelHexReader::Step::Fault: return lineError(reader.line(), syntaxError(reader, record));
        case stm32::IntelHexReader::Step::End: return std::string();
        case stm32::IntelHexReader::Step::Record: break;
        }
        // Data lands at the base that the records before it set.
        const uint64_t position = uint64_t{state.base} + record.loadAddress;
        // Placing the chunks is the placement's work: no image here.
        const IntelHexFault fault = intelHexApplyRecord(&state, record, flashStart, nullptr, 0);
        if (fault != IntelHexFault::None) return lineError(record.line, recordError(fault, record, state, flashStart));
        if (record.type == kHexData) addChunk(record, position, out);
    }
}

} // namespace frontend
