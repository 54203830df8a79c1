#include "jobs.h"

#include <algorithm>
#include <cstdio>

#include "profiles.h"

namespace bench {

namespace {

constexpr uint64_t KB = 1024;

std::string kilobytes(uint64_t bytes) { return std::to_string(bytes / KB) + " KB"; }

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

Job upload(std::string name, std::string detail, std::vector<uint8_t> image, uint64_t offset = 0) {
    Job job;
    job.name = std::move(name);
    job.detail = std::move(detail);
    job.kind = JobKind::Upload;
    job.image = std::move(image);
    job.offset = offset;
    return job;
}

Job other(std::string name, std::string detail, JobKind kind) {
    Job job;
    job.name = std::move(name);
    job.detail = std::move(detail);
    job.kind = kind;
    return job;
}

// A linker output with code at the start and a table at the very end of
// flash: one raw file of flash size, blank in between.
std::vector<uint8_t> sparseImage(uint32_t flashStart, uint64_t flashSize, uint64_t codeLength,
                                 uint64_t tableLength) {
    std::vector<uint8_t> image(flashSize, 0xFF);
    auto code = programBytes(codeLength, 11, flashStart);
    auto table = codeBytes(tableLength, 12);
    std::copy(code.begin(), code.end(), image.begin());
    std::copy(table.begin(), table.end(), image.end() - long(tableLength));
    return image;
}

// Re-uploads of an image the board already holds, as it is and with one byte
// changed, with and without -k. The F1 board's flash is smaller than 512 KB:
// its whole flash is used there.
void addReuploads(std::vector<Job>& jobs, uint32_t flashStart, uint64_t flashSize) {
    const uint64_t length = std::min<uint64_t>(512 * KB, flashSize);
    const std::string held = kilobytes(length) + (length == flashSize ? " (the whole flash)" : "") +
                             " at offset 0, the board holds it";
    auto image = programBytes(length, 6, flashStart);
    auto changed = image;
    const uint64_t at = length * 5 / 8 + 123; // inside a 128 KB sector of the F4 and H7 boards
    changed[at] = uint8_t(changed[at] ^ 0x5A);
    for (bool skip : {false, true}) {
        const std::string flag = skip ? " -k" : "";
        Job same = upload("re-upload unchanged" + flag, held, image);
        same.resident = image;
        same.skipUnchanged = skip;
        jobs.push_back(same);
        Job one = upload("re-upload 1 byte changed" + flag, held + ", one byte differs at " + hex(at), changed);
        one.resident = image;
        one.skipUnchanged = skip;
        jobs.push_back(one);
    }
}

} // namespace

std::vector<uint8_t> codeBytes(uint64_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
        if (byte == 0xFF) byte = 0x7F; // erased-looking bytes are rare in code
    }
    return bytes;
}

std::vector<uint8_t> programBytes(uint64_t length, uint32_t seed, uint32_t flashStart) {
    std::vector<uint8_t> bytes = codeBytes(length, seed);
    const uint32_t vectors[2] = {0x20005000u, flashStart + 0x101u}; // initial stack, reset handler (Thumb)
    for (size_t i = 0; i < 8 && i < bytes.size(); ++i) bytes[i] = uint8_t(vectors[i / 4] >> (8 * (i % 4)));
    return bytes;
}

std::vector<Job> makeJobs(uint32_t flashStart, uint64_t flashSize) {
    const uint64_t optionLength = 4 * KB;
    const uint64_t optionOffset = flashSize - 16 * KB;
    const uint64_t sparseCode = 32 * KB, sparseTable = 4 * KB;
    std::vector<Job> jobs;
    jobs.push_back(upload("upload 64 KB", "64 KB at offset 0", programBytes(64 * KB, 1, flashStart)));
    jobs.push_back(upload("upload half flash", kilobytes(flashSize / 2) + " at offset 0", programBytes(flashSize / 2, 2, flashStart)));
    jobs.push_back(upload("upload full flash", kilobytes(flashSize) + " at offset 0", programBytes(flashSize, 3, flashStart)));
    jobs.push_back(upload("upload sparse",
                          kilobytes(sparseCode) + " code + " + kilobytes(sparseTable) + " table at the end, " +
                              kilobytes(flashSize) + " file",
                          sparseImage(flashStart, flashSize, sparseCode, sparseTable)));
    jobs.push_back(upload("upload option area", kilobytes(optionLength) + " at -o " + hex(optionOffset),
                          codeBytes(optionLength, 4), optionOffset));
    addReuploads(jobs, flashStart, flashSize);
    jobs.push_back(other("download flash", kilobytes(flashSize) + ", -d", JobKind::Download));
    jobs.push_back(other("mass erase", "-e -s 0", JobKind::EraseAll));
    jobs.push_back(other("list", "-l", JobKind::List));
    return jobs;
}

std::vector<std::string> stm32cmdArguments(const Job& job, const std::string& imagePath,
                                           const std::string& downloadPath) {
    switch (job.kind) {
    case JobKind::Upload: {
        std::vector<std::string> words;
        if (job.skipUnchanged) words.push_back("-k");
        if (job.offset != 0) words.insert(words.end(), {"-o", hex(job.offset)});
        words.push_back(imagePath);
        return words;
    }
    case JobKind::Download:
        return {"-d", "-f", downloadPath};
    case JobKind::EraseAll:
        return {"-e", "-s", "0"};
    case JobKind::List:
        return {"-l"};
    }
    return {};
}

std::vector<std::string> dfuUtilArguments(const Job& job, uint32_t flashStart, uint64_t flashSize,
                                          const std::string& imagePath, const std::string& downloadPath) {
    switch (job.kind) {
    case JobKind::Upload:
        // dfu-util cannot leave unchanged pages alone: the row without -k is its row.
        if (job.skipUnchanged) return {};
        return {"-a", "0", "-s", hex(flashStart + job.offset) + ":leave", "-D", imagePath};
    case JobKind::Download:
        return {"-a", "0", "-s", hex(flashStart) + ":" + std::to_string(flashSize), "-U", downloadPath};
    case JobKind::EraseAll:
        return {}; // its mass erase comes only with a download of a file
    case JobKind::List:
        return {"-l"};
    }
    return {};
}

FlashGeometry geometryOf(const vboard::Board& board) {
    const vboard::Timing& timing = vboard::describe(board.profile()).timing;
    FlashGeometry geometry;
    geometry.massEraseUs = double(timing.massEraseUs);
    geometry.programUsPerByte = timing.programUsPerByte;
    uint64_t at = 0;
    for (const vboard::Segment& segment : board.flashSegments()) {
        for (uint32_t i = 0; i < segment.count; ++i) {
            geometry.pages.push_back({at, segment.size, double(timing.eraseUs(segment.size))});
            at += segment.size;
        }
    }
    return geometry;
}

double romPollSeconds(vboard::Profile profile, const vboard::Counters& counters, double timeScale) {
    const vboard::Timing& t = vboard::describe(profile).timing;
    auto count = [&](vboard::Request kind) {
        auto it = counters.requests.find(kind);
        return it == counters.requests.end() ? 0.0 : double(it->second);
    };
    using vboard::Request;
    double ms = count(Request::SetAddress) * t.pollSetAddressMs + count(Request::ErasePage) * t.pollEraseMs +
                count(Request::MassErase) * t.pollMassEraseMs +
                count(Request::DataBlock) * t.pollWriteMs;
    return timeScale * ms / 1e3;
}

Minimum minimumOf(const Job& job, const FlashGeometry& geometry, const std::vector<uint8_t>& before) {
    switch (job.kind) {
    case JobKind::Upload:
        return uploadMinimum(geometry, before, job.image, job.offset);
    case JobKind::Download:
        return downloadMinimum(geometry.size());
    case JobKind::EraseAll:
        return eraseAllMinimum(geometry, before);
    case JobKind::List:
        return {};
    }
    return {};
}

} // namespace bench
