#include "schedule.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "test_bounds.h"
#include "stm32.h"

namespace reliability {

namespace {

using vboard::FaultType;
using vboard::Request;

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    // Uniform in [0, n); n 0 gives 0. mt19937_64 output is the same everywhere.
    uint32_t below(uint64_t n) { return n == 0 ? 0 : static_cast<uint32_t>(engine_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <typename T>
    T pick(std::initializer_list<T> options) {
        return *(options.begin() + below(options.size()));
    }

private:
    std::mt19937_64 engine_;
};

constexpr uint32_t kSmallRun = 6144; // a few blocks keep a schedule quick

// Offsets that matter: page starts, the first bytes (jump address rules),
// and anywhere at all.
uint32_t drawOffset(Random& rng, const Geometry& g, uint32_t region) {
    const unsigned kind = rng.below(10);
    if (kind < 4) {
        std::vector<uint32_t> inRegion;
        for (uint32_t start : g.pageStarts)
            if (start < region) inRegion.push_back(start);
        return inRegion[rng.below(inRegion.size())];
    }
    if (kind < 6) return rng.below(16);
    return rng.below(region);
}

// Where a run may start so that it touches only small pages (the F4's 16 KB
// sectors) most of the time: rewriting a 128 KB sector costs 64 blocks.
uint32_t drawRegion(Random& rng, vboard::Profile profile, const Geometry& g) {
    if (profile == vboard::Profile::F4 && rng.chance(80)) return 0x10000;
    return g.flashSize;
}

uint32_t drawLength(Random& rng, const Geometry& g, uint32_t offset) {
    return 1 + rng.below(std::min(kSmallRun, g.flashSize - offset));
}

// What a schedule's operation covers, for aiming its fault.
struct Extent {
    uint32_t bytes = 0; // the whole pages it rewrites or reads
    uint32_t pages = 0;
    bool massErase = false;
};

// How many requests of a kind the operation roughly makes, so that a fault's
// skip count lands inside the operation most of the time (and past its end
// some of the time, where it must not matter).
uint32_t requestEstimate(Request kind, const Geometry& g, const Extent& e) {
    const uint32_t blocks = e.bytes / g.blockSize + 2;
    switch (kind) {
    case Request::Any: return 4 * blocks + 12;
    case Request::GetStatus: return 3 * blocks + 8;
    case Request::ClrStatus: return blocks / 2 + 6;
    case Request::Upload: return 2 * blocks + 2;
    case Request::DataBlock: return blocks;
    case Request::ErasePage: return e.pages + 1;
    case Request::SetAddress: return 6;
    default: return 0; // one-off requests: the first one
    }
}

vboard::Fault drawFault(Random& rng, Operation op, const Geometry& g, const Extent& e) {
    vboard::Fault fault;
    const unsigned type = rng.below(100);
    fault.type = type < 28   ? FaultType::ErrorStatus
                 : type < 50 ? FaultType::Stall
                 : type < 72 ? FaultType::ShortReply
                 : type < 88 ? FaultType::Unplug
                 : type < 94 ? FaultType::Timeout
                             : FaultType::StayBusy;
    const Request erase = e.massErase ? Request::MassErase : Request::ErasePage;
    switch (op) {
    case Operation::Upload:
        fault.on = rng.pick({Request::Any, Request::Any, Request::GetStatus, Request::SetAddress, erase,
                             Request::DataBlock, Request::Upload, Request::Leave, Request::ClrStatus});
        break;
    case Operation::Download:
        fault.on = rng.pick({Request::Any, Request::Any, Request::GetStatus, Request::SetAddress, Request::Upload,
                             Request::ClrStatus});
        break;
    case Operation::Erase:
        fault.on = rng.pick({Request::Any, Request::Any, Request::GetStatus, Request::SetAddress, erase,
                             Request::DataBlock, Request::Upload, Request::ClrStatus});
        break;
    }
    fault.skip = static_cast<int>(rng.below(requestEstimate(fault.on, g, e) + 1));
    fault.status = rng.pick<uint8_t>({vboard::errTARGET, vboard::errWRITE, vboard::errERASE, vboard::errVERIFY,
                                      vboard::errCHECK_ERASED, vboard::errPROG, vboard::errADDRESS,
                                      vboard::errUNKNOWN});
    return fault;
}

const char* operationName(Operation op) {
    switch (op) {
    case Operation::Upload: return "upload";
    case Operation::Download: return "download";
    case Operation::Erase: return "erase";
    }
    return "?";
}

} // namespace

const char* profileName(vboard::Profile profile) {
    switch (profile) {
    case vboard::Profile::F1: return "F1";
    case vboard::Profile::F4: return "F4";
    case vboard::Profile::H7: return "H7";
    default: return "other";
    }
}

const char* faultTypeName(FaultType type) {
    switch (type) {
    case FaultType::ErrorStatus: return "error status";
    case FaultType::Stall: return "stall";
    case FaultType::ShortReply: return "short reply";
    case FaultType::Timeout: return "timeout";
    case FaultType::Unplug: return "unplug";
    case FaultType::StayBusy: return "stay busy";
    }
    return "?";
}

std::string Schedule::describe() const {
    std::ostringstream text;
    text << "seed " << seed << ": " << profileName(profile) << " " << operationName(operation) << " offset 0x"
         << std::hex << offset << std::dec << " length " << length << (erasedFlash ? " (erased flash)" : "")
         << (foreignFirst ? ", keyboard first" : "")
         << (bystander == Bystander::Before ? ", a board before it" : bystander == Bystander::After ? ", a board after it" : "");
    if (fault) {
        for (const std::optional<vboard::Fault>* f : {&fault, &secondFault}) {
            if (!*f) continue;
            text << (f == &fault ? ", " : ", then ") << faultTypeName((*f)->type) << " on "
                 << vboard::requestName((*f)->on) << " after " << (*f)->skip;
            if ((*f)->type == FaultType::ErrorStatus) text << " (status " << int((*f)->status) << ")";
        }
    } else if (corruptAtVerify) {
        text << ", image byte " << *corruptAtVerify << " corrupted before the verify";
    } else {
        text << ", no fault";
    }
    return text.str();
}

Geometry Geometry::of(const vboard::Board& board) {
    Geometry g;
    g.flashSize = board.flashSize();
    g.blockSize = board.transferSize();
    uint32_t at = 0;
    for (const vboard::Segment& segment : board.flashSegments()) {
        for (uint32_t i = 0; i < segment.count; ++i, at += segment.size) g.pageStarts.push_back(at);
    }
    return g;
}

std::pair<uint32_t, uint32_t> Geometry::pagesHolding(uint32_t offset, uint32_t length) const {
    const uint32_t last = offset + std::max<uint32_t>(length, 1) - 1;
    auto pageOf = [&](uint32_t at) {
        return static_cast<size_t>(std::upper_bound(pageStarts.begin(), pageStarts.end(), at) - pageStarts.begin()) - 1;
    };
    const size_t lastPage = pageOf(last);
    const uint32_t end = lastPage + 1 < pageStarts.size() ? pageStarts[lastPage + 1] : flashSize;
    return {pageStarts[pageOf(offset)], end};
}

Schedule drawSchedule(uint64_t seed, vboard::Profile profile, const Geometry& g) {
    Random rng(seed);
    Schedule s;
    s.seed = seed;
    s.profile = profile;
    const unsigned op = rng.below(4);
    s.operation = op < 2 ? Operation::Upload : op == 2 ? Operation::Download : Operation::Erase;
    s.erasedFlash = rng.chance(15);
    s.foreignFirst = rng.chance(20);
    const unsigned bystander = rng.below(10);
    s.bystander = bystander < 2 ? Schedule::Bystander::Before
                  : bystander < 4 ? Schedule::Bystander::After
                                  : Schedule::Bystander::None;
    const bool small = profile == vboard::Profile::F1; // whole-flash runs are affordable there only
    switch (s.operation) {
    case Operation::Upload:
        if (small && rng.chance(4)) { // whole-flash mode: one mass erase, every block rewritten
            s.offset = 0;
            s.length = g.flashSize / 2 + rng.below(g.flashSize / 2 + 1);
        } else {
            s.offset = drawOffset(rng, g, drawRegion(rng, profile, g));
            s.length = drawLength(rng, g, s.offset);
        }
        break;
    case Operation::Download:
        s.offset = rng.below(g.flashSize);
        s.length = small && rng.chance(3) ? 0 : drawLength(rng, g, s.offset);
        if (s.length == 0) s.offset = 0;
        break;
    case Operation::Erase:
        if (profile != vboard::Profile::H7 && rng.chance(4)) { // mass erase
            s.offset = 0;
            s.length = 0;
        } else {
            s.offset = drawOffset(rng, g, drawRegion(rng, profile, g));
            s.length = drawLength(rng, g, s.offset);
        }
        break;
    }
    if (s.operation == Operation::Upload && rng.chance(8)) {
        s.corruptAtVerify = rng.below(s.length);
    } else if (!rng.chance(15)) {
        Extent extent;
        const bool whole = s.length == 0 || (s.operation == Operation::Upload && s.offset == 0 &&
                                             uint64_t{s.length} * 2 >= g.flashSize);
        // Plain variables, not a structured binding: clang 14 refuses to capture one in a lambda.
        const auto pages = g.pagesHolding(s.offset, s.length);
        const uint32_t begin = pages.first, end = pages.second;
        // A download reads just its range; the others rewrite whole pages.
        extent.bytes = whole ? g.flashSize : s.operation == Operation::Download ? s.length : end - begin;
        extent.massErase = whole && s.operation != Operation::Download;
        extent.pages = static_cast<uint32_t>(
            std::count_if(g.pageStarts.begin(), g.pageStarts.end(), [&](uint32_t p) { return p >= begin && p < end; }));
        s.fault = drawFault(rng, s.operation, g, extent);
        if (rng.chance(20)) {
            vboard::Fault second = drawFault(rng, s.operation, g, extent);
            second.on = rng.pick({Request::Any, Request::GetStatus, Request::ClrStatus});
            second.skip = static_cast<int>(rng.below(4));
            s.secondFault = second;
        }
    }
    return s;
}

// ---- running and checking ----------------------------------------------

namespace {

struct LogEntry {
    std::string text;
    int continuation;
};

struct LogSink {
    std::vector<LogEntry> entries;
    std::function<void(const std::string&)> onLine; // runs on the engine's thread, mid-command
};

int captureLog(void* user, const char* text, uint32_t length, int continuation) {
    auto* sink = static_cast<LogSink*>(user);
    sink->entries.push_back({std::string(text, length), continuation});
    if (continuation == 0 && length > 0 && sink->onLine) sink->onLine(sink->entries.back().text);
    return 0;
}

// Lines as a user sees them; a progress line never closed is marked.
std::vector<std::string> transcript(const std::vector<LogEntry>& log) {
    std::vector<std::string> lines;
    std::string open;
    bool pieces = false;
    for (const LogEntry& e : log) {
        if (e.continuation == 1) {
            open += e.text;
            pieces = true;
            continue;
        }
        if (pieces && !e.text.empty()) lines.push_back(open + "<unterminated>");
        lines.push_back(e.text.empty() ? open : e.text);
        open.clear();
        pieces = false;
    }
    if (pieces) lines.push_back(open + "<unterminated>");
    return lines;
}

// What the process has open, as "fd -> target" lines.
std::vector<std::string> openDescriptors() {
    std::vector<std::string> open;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            char target[256] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            open.push_back(std::string(entry->d_name) + " -> " + (n > 0 ? target : "?"));
        }
        closedir(dir);
    }
    std::sort(open.begin(), open.end());
    return open;
}

std::vector<std::string> addedDescriptors(const std::vector<std::string>& before, const std::vector<std::string>& now) {
    std::vector<std::string> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

// The board's side of the emulated device node is closed by umockdev's own
// thread a moment after libusb closes its side, and that thread may reuse a
// freed number for its own wake-up descriptor, so wait (up to 3 s, on a busy
// machine) until nothing new is open.
std::vector<std::string> settledDescriptors(const std::vector<std::string>& before) {
    std::vector<std::string> now = openDescriptors();
    for (int wait = 0; wait < 150 && !addedDescriptors(before, now).empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = openDescriptors();
    }
    return now;
}

bool verbose() { return std::getenv("STM32_SCHEDULE_VERBOSE") != nullptr; }

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using Context = std::unique_ptr<Stm32Context, ContextDeleter>;

// Restores the production bounds whatever happens to the schedule.
class BoundsScope {
public:
    explicit BoundsScope(const Bounds& bounds) {
        stm32::setControlTimeout(bounds.controlTimeoutMs);
        stm32::setBusyWaitLimit(bounds.busyWaitLimit);
    }
    ~BoundsScope() {
        stm32::setControlTimeout(9000);
        stm32::setBusyWaitLimit(std::chrono::milliseconds(120000));
    }
};

uint32_t littleEndianWord(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void putLittleEndianWord(uint8_t* bytes, uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

// A Thumb reset vector inside the flash, as a linked program carries one.
uint32_t resetVector(uint32_t flashStart, uint64_t seed) { return flashStart + 0x100 + 2 * (seed % 0x400) + 1; }

std::vector<uint8_t> imageBytes(uint64_t seed, uint32_t length, uint32_t flashStart) {
    std::mt19937_64 engine(seed ^ 0x9E3779B97F4A7C15ull);
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(engine());
    // Erased runs, so that blocks the engine may skip appear too.
    for (int runs = 0; runs < 3 && length > 0; ++runs) {
        const uint32_t at = static_cast<uint32_t>(engine() % length);
        const uint32_t run = std::min<uint32_t>(length - at, static_cast<uint32_t>(engine() % 3000));
        std::fill_n(bytes.begin() + at, run, 0xFF);
    }
    // Most images are programs with a vector table; the rest start with data.
    if (length >= 8 && engine() % 5 != 0) putLittleEndianWord(bytes.data() + 4, resetVector(flashStart, seed));
    return bytes;
}

uint64_t matchingRequests(const vboard::Board& board, Request kind) {
    if (kind != Request::Any) return board.count(kind);
    uint64_t total = 0;
    for (const auto& [k, n] : board.counters().requests)
        if (k != Request::Standard) total += n;
    return total;
}

const char* closingError(Operation op) {
    switch (op) {
    case Operation::Upload: return "Error while flashing STM32.";
    case Operation::Download: return "Error while reading STM32 flash.";
    case Operation::Erase: return "Error while erasing STM32 flash.";
    }
    return "";
}

uint32_t commandCode(Operation op) {
    switch (op) {
    case Operation::Upload: return STM32_CMD_UPLOAD;
    case Operation::Download: return STM32_CMD_DOWNLOAD;
    case Operation::Erase: return STM32_CMD_ERASE;
    }
    return 99;
}

class Checker {
public:
    void require(bool condition, const std::string& what) {
        if (!condition) violations.push_back(what);
    }
    // First differing offset in [begin, end), or end.
    static uint32_t firstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t begin,
                                    uint32_t end) {
        auto pair = std::mismatch(a.begin() + begin, a.begin() + end, b.begin() + begin);
        return static_cast<uint32_t>(pair.first - a.begin());
    }
    void unchangedOutside(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint32_t begin,
                          uint32_t end, const char* what) {
        const uint32_t size = static_cast<uint32_t>(before.size());
        uint32_t at = firstDifference(before, after, 0, begin);
        if (at == begin) at = firstDifference(before, after, end, size);
        if (at != begin && at != size) {
            std::ostringstream text;
            text << what << ": flash changed at offset 0x" << std::hex << at << " outside [0x" << begin << ", 0x"
                 << end << ")";
            violations.push_back(text.str());
        }
    }
    std::vector<std::string> violations;
};

struct Run {
    int32_t result = 0;
    std::chrono::milliseconds elapsed{0};
    std::vector<std::string> lines;
    int32_t logLineLength = 0;
    std::vector<std::string> descriptorsBefore;
    std::vector<std::string> descriptorsAfter;
};

// GLib and libusb set up some process-wide helpers (a worker thread with its
// wake-up descriptor) the first time a device is opened; they live as long as
// the process. Open one once before the first count of descriptors, so that
// they are not taken for a leak of the first command.
void warmUpOnce(const vboard::Board& board) {
    static bool warm = false;
    if (warm) return;
    warm = true;
    FlashInfo info{};
    stm32GetFlashInfo(nullptr, board.listPosition(), &info);
}

Run runCommand(const vboard::Board& board, Operation op, uint32_t offset, uint32_t length,
               std::vector<uint8_t>& flashBuffer, std::vector<uint8_t>& image, uint32_t imageLength,
               std::function<void(const std::string&)> onLine = {}) {
    Run run;
    LogSink log;
    log.onLine = std::move(onLine);
    warmUpOnce(board);
    run.descriptorsBefore = openDescriptors();
    {
        Context context(stm32Init());
        if (!context) {
            run.result = -100;
            return run;
        }
        stm32RegisterLogCallback(context.get(), &log, captureLog);
        stm32SetBuffer(context.get(), flashBuffer.data(), static_cast<int32_t>(flashBuffer.size()), image.data(),
                       static_cast<int32_t>(imageLength));
        const auto start = std::chrono::steady_clock::now();
        run.result = stm32Command(context.get(), board.listPosition(), board.flashStart(), offset,
                                  op == Operation::Upload ? 0 : static_cast<int32_t>(length), commandCode(op));
        run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        run.logLineLength = context->logLineLength;
    }
    run.descriptorsAfter = settledDescriptors(run.descriptorsBefore);
    run.lines = transcript(log.entries);
    return run;
}

void checkCommon(Checker& check, const Schedule& s, const Run& run, const Bounds& bounds) {
    check.require(run.result >= 0 && run.result <= 6 && run.result != 1,
                  "unexpected result code " + std::to_string(run.result));
    check.require(!run.lines.empty(), "no log line at all");
    if (!run.lines.empty()) {
        const std::string& last = run.lines.back();
        const std::string expected = run.result == 0 ? "OK." : closingError(s.operation);
        check.require(last == expected, "closing line \"" + last + "\" for result " + std::to_string(run.result));
        check.require(std::count(run.lines.begin(), run.lines.end(), "OK.") == (run.result == 0 ? 1 : 0),
                      "\"OK.\" appears in a failed command or more than once");
    }
    for (const std::string& line : run.lines)
        check.require(line.find("<unterminated>") == std::string::npos, "progress line not closed: " + line);
    check.require(run.logLineLength == 0, "log line not empty after the command");
    check.require(run.elapsed < bounds.hangBound, "command took " + std::to_string(run.elapsed.count()) + " ms");
    // A leaked libusb context or device handle keeps descriptors open; a number
    // that another thread reused while one was freed is no leak.
    if (run.descriptorsAfter.size() > run.descriptorsBefore.size()) {
        for (const std::string& fd : addedDescriptors(run.descriptorsBefore, run.descriptorsAfter))
            check.require(false, "left open after the command: " + fd);
    }
}

} // namespace

Geometry Geometry::of(vboard::Profile profile) {
    static std::map<vboard::Profile, Geometry> known;
    auto found = known.find(profile);
    if (found != known.end()) return found->second;
    vboard::Bus bus;
    vboard::BoardOptions options;
    options.profile = profile;
    return known[profile] = of(bus.addBoard(options));
}

Outcome runSchedule(uint64_t seed, vboard::Profile profile, const Bounds& bounds) {
    return runSchedule(drawSchedule(seed, profile, Geometry::of(profile)), bounds);
}

Outcome runSchedule(const Schedule& s, const Bounds& bounds) {
    BoundsScope scope(bounds);
    vboard::Bus bus;
    if (s.foreignFirst) bus.addForeignDevice();
    vboard::BoardOptions bystanderOptions; // an F1, instant
    vboard::Board* bystander = nullptr;
    if (s.bystander == Schedule::Bystander::Before) bystander = &bus.addBoard(bystanderOptions);
    vboard::BoardOptions options;
    options.profile = s.profile;
    options.timeScale = 0.0;
    vboard::Board& board = bus.addBoard(options);
    if (s.bystander == Schedule::Bystander::After) bystander = &bus.addBoard(bystanderOptions);
    std::vector<uint8_t> bystanderBefore;
    if (bystander != nullptr) {
        bystander->fillFlashPattern(static_cast<uint32_t>(s.seed) + 1);
        bystanderBefore = bystander->flash();
        bystander->resetCounters();
    }
    if (!s.erasedFlash) {
        board.fillFlashPattern(static_cast<uint32_t>(s.seed));
        // The resident program's vector table.
        std::vector<uint8_t> vector(4);
        putLittleEndianWord(vector.data(), resetVector(board.flashStart(), s.seed >> 8));
        board.write(board.flashStart() + 4, vector);
    }
    const Geometry g = Geometry::of(board);
    const std::vector<uint8_t> before = board.flash();

    std::vector<uint8_t> flashBuffer(g.flashSize, 0);
    std::vector<uint8_t> image(g.flashSize, 0);
    const uint32_t imageLength = s.operation == Operation::Upload ? s.length : 0;
    const std::vector<uint8_t> imageData = imageBytes(s.seed, imageLength, board.flashStart());
    std::copy(imageData.begin(), imageData.end(), image.begin());

    board.resetCounters();
    if (s.fault) board.injectFault(*s.fault);
    if (s.secondFault) board.injectFault(*s.secondFault);
    bool corrupted = false;
    auto corrupt = [&](const std::string& line) {
        if (!s.corruptAtVerify || corrupted || line != "Verifying.") return;
        const uint32_t address = board.flashStart() + s.offset + *s.corruptAtVerify;
        board.write(address, {static_cast<uint8_t>(board.read(address, 1)[0] ^ 0x5A)});
        corrupted = true;
    };
    const Run run = runCommand(board, s.operation, s.offset, s.length, flashBuffer, image, imageLength, corrupt);
    const std::vector<uint8_t> after = board.flash();
    if (verbose()) {
        std::printf("%s\n", s.describe().c_str());
        for (const std::string& line : run.lines) std::printf("  | %s\n", line.c_str());
        for (const auto& [kind, n] : board.counters().requests)
            std::printf("  %s %llu\n", vboard::requestName(kind), static_cast<unsigned long long>(n));
        std::printf("  left %d at 0x%08X, state %d status %d\n", board.hasLeft(), board.leaveAddress(), board.state(),
                    board.status());
    }

    Outcome outcome;
    outcome.result = run.result;
    outcome.elapsed = run.elapsed;
    outcome.faultFired =
        corrupted || (s.fault && matchingRequests(board, s.fault->on) > static_cast<uint64_t>(s.fault->skip));
    Checker check;
    checkCommon(check, s, run, bounds);
    check.require(!corrupted || run.result == 5, "a bad flash byte gave result " + std::to_string(run.result));
    check.require(corrupted || !s.corruptAtVerify, "the engine never logged \"Verifying.\"");
    check.require(outcome.faultFired || run.result == 0, "result " + std::to_string(run.result) + " without a fault");

    // The range the command works on, and the whole pages holding it: a
    // failure may leave those erased or partly written, nothing else.
    const bool wholeFlash = s.length == 0 || (s.operation == Operation::Upload && s.offset == 0 &&
                                              uint64_t{s.length} * 2 >= g.flashSize);
    const uint32_t end = s.length == 0 ? g.flashSize : s.offset + s.length;
    const auto pages = wholeFlash ? std::make_pair(0u, g.flashSize) : g.pagesHolding(s.offset, s.length);

    switch (s.operation) {
    case Operation::Upload: {
        const bool written = std::equal(imageData.begin(), imageData.end(), after.begin() + s.offset);
        check.require(run.result != 0 || written, "\"OK.\" but the image is not in flash");
        check.unchangedOutside(before, after, run.result == 0 ? s.offset : pages.first,
                               run.result == 0 ? end : pages.second, "upload");
        check.require(!board.hasLeft() || run.result == 0, "program started after a failed upload");
        if (run.result == 0 && !outcome.faultFired) {
            // The leave points the board at a vector table: the resident
            // program's at flash start when the image sits behind one, else
            // the image's own. A table no program could have is not started.
            const uint32_t resident = littleEndianWord(before.data() + 4);
            const bool useResident = s.offset >= 8 && resident != 0xFFFFFFFF;
            const uint8_t* table = useResident ? before.data() : image.data();
            const uint32_t stack = littleEndianWord(table);
            const uint32_t reset = littleEndianWord(table + 4);
            const uint32_t base = board.flashStart() + (useResident ? 0 : s.offset);
            const bool startable = stack >= 0x10000000 && stack <= 0x3FFFFFFF && stack % 4 == 0 && reset % 2 == 1 &&
                                   reset >= board.flashStart() && reset - board.flashStart() < g.flashSize;
            if (startable) {
                check.require(board.hasLeft() && board.leaveAddress() == base,
                              "upload succeeded but the program was not started at its vector table");
            } else {
                check.require(!board.hasLeft(), "a program without a plausible vector table was started");
            }
        }
        break;
    }
    case Operation::Download: {
        const uint32_t count = end - s.offset;
        const bool read = std::equal(flashBuffer.begin(), flashBuffer.begin() + count, before.begin() + s.offset);
        check.require(run.result != 0 || read, "\"OK.\" but the bytes read differ from flash");
        check.unchangedOutside(before, after, 0, 0, "download");
        check.require(!board.hasLeft(), "a download started the program");
        break;
    }
    case Operation::Erase: {
        const bool erased = std::all_of(after.begin() + s.offset, after.begin() + end, [](uint8_t b) { return b == 0xFF; });
        check.require(run.result != 0 || erased, "\"OK.\" but the range is not erased");
        check.unchangedOutside(before, after, run.result == 0 ? s.offset : pages.first,
                               run.result == 0 ? end : pages.second, "erase");
        check.require(!board.hasLeft(), "an erase started the program");
        break;
    }
    }

    if (bystander != nullptr) {
        check.require(bystander->flash() == bystanderBefore, "the other board's flash changed");
        check.require(matchingRequests(*bystander, Request::Any) == 0, "the other board received DFU requests");
    }

    // A board that is still there must serve the next command: a failed
    // run may not leave it in a state the core cannot recover from.
    auto staysBusy = [](const std::optional<vboard::Fault>& f) { return f && f->type == FaultType::StayBusy; };
    const bool boardStuck = outcome.faultFired && (staysBusy(s.fault) || staysBusy(s.secondFault));
    if (board.plugged() && !board.hasLeft() && !boardStuck) {
        board.clearFaults();
        std::vector<uint8_t> again(g.flashSize, 0);
        std::vector<uint8_t> noImage(g.flashSize, 0);
        const Run next = runCommand(board, Operation::Download, 0, g.blockSize, again, noImage, 0);
        check.require(next.result == 0 && std::equal(again.begin(), again.begin() + g.blockSize, after.begin()),
                      "the next download failed with result " + std::to_string(next.result));
    }
    outcome.violations = std::move(check.violations);
    return outcome;
}

} // namespace reliability
