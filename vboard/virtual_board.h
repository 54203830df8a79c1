// Virtual STM32 system bootloader boards on an emulated USB bus.
//
// A Bus owns one umockdev testbed; every Board added to it shows up to the
// real libusb of this process (and of child processes started with the
// umockdev preload and the inherited UMOCKDEV_DIR) as a device 0483:df11 in
// DFU mode. The board answers usbdevfs ioctls with a DFU 1.1 / DfuSe state
// machine over flash that behaves like flash: erase is by physical page or
// sector, programming only clears bits.
//
// Contract used by the core, stm32cmd, front-end and benchmark tests. Keep
// the names stable; extend freely.
#ifndef STM32_VBOARD_VIRTUAL_BOARD_H
#define STM32_VBOARD_VIRTUAL_BOARD_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vboard {

// Board models.
enum class Profile {
    F1,                     // F105/F107: 128 x 2 KB pages, wTransferSize 2048
    F4,                     // F405/F407, newer ROM: 4x16K, 1x64K, 7x128K sectors (1 MB)
    H7,                     // H743/H753: 16 x 128 KB sectors (2 MB), wTransferSize 1024
    NoInternalFlash,        // alt settings without an "@Internal Flash" name
    LayoutWithoutSlash,     // alt 0 named just "@Internal Flash"
    ZeroTransferSize,       // functional descriptor with wTransferSize 0
    OversizeTransferSize,   // wTransferSize 8192 (above one control transfer)
    NoFunctionalDescriptor, // DFU interface without the 0x21 descriptor
    SmallPages,             // 1 KB pages with wTransferSize 2048 (page smaller than block)
    F0,                     // F070/F072: 64 x 2 KB pages
    F411,                   // F401/F411/F446 class: 4x16K, 1x64K, 3x128K sectors (512 KB)
    F7,                     // F74x/F75x: 4x32K, 1x128K, 3x256K sectors (1 MB)
    G4,                     // G431/G474: 256 x 2 KB pages, wTransferSize 1024
    H7RevV,                 // H743/H753 revision V: a bank-2 sector erase stays busy
    H750,                   // H750: the H7 layout (2 MB) on 128 KB of real flash
    L0,                     // L072: 1536 x 128-byte pages
    L4,                     // L476 class: 512 x 2 KB pages (1 MB)
    L452,                   // L452: the 1 MB L4 layout on 512 KB of real flash
    U5,                     // U575/U585 descriptors, U5A9 ROM conversation: 256 x 8 KB pages
    C5,                     // C562: one alternate setting, strict DFU_CLRSTATUS
};

// DFU states and status codes (DFU 1.1).
enum DfuState : uint8_t {
    appIDLE = 0, appDETACH = 1, dfuIDLE = 2, dfuDNLOAD_SYNC = 3, dfuDNBUSY = 4, dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6, dfuMANIFEST = 7, dfuMANIFEST_WAIT_RESET = 8, dfuUPLOAD_IDLE = 9, dfuERROR = 10,
};
enum DfuStatusCode : uint8_t {
    OK = 0, errTARGET = 1, errFILE = 2, errWRITE = 3, errERASE = 4, errCHECK_ERASED = 5, errPROG = 6,
    errVERIFY = 7, errADDRESS = 8, errNOTDONE = 9, errFIRMWARE = 10, errVENDOR = 11, errUSBR = 12,
    errPOR = 13, errUNKNOWN = 14, errSTALLEDPKT = 15,
};

// Kinds of request the board counts and on which faults can be injected.
enum class Request {
    GetStatus, ClrStatus, GetState, Abort, Detach,
    SetAddress,    // DNLOAD wValue 0, 0x21 + address
    ErasePage,     // DNLOAD wValue 0, 0x41 + address
    MassErase,     // DNLOAD wValue 0, 0x41 alone
    GetCommands,   // DNLOAD wValue 0, 0x00
    ReadUnprotect, // DNLOAD wValue 0, 0x92 alone
    DataBlock,     // DNLOAD wValue >= 2 with data
    Leave,         // zero-length DNLOAD
    Upload,        // UPLOAD wValue >= 2
    UploadCommands,// UPLOAD wValue 0
    OtherCommand,  // DNLOAD wValue 0 with an unknown command byte, or wValue 1
    Standard,      // any standard (non-class) control request
    Any,           // matches every class request (fault injection only)
};

enum class FaultType {
    // The request is handled, but its verdict is an error: a DfuSe command or
    // data block still answers dfuDNBUSY first and then dfuERROR with
    // `status`, and is not carried out (nothing erased or written); on a
    // GetStatus that very reply reports dfuERROR; on any other request the
    // next GETSTATUS does.
    ErrorStatus,
    Stall,       // the request itself is stalled (board goes to dfuERROR/errSTALLEDPKT)
    ShortReply,  // an IN request answers half the bytes; an OUT request is taken half and ignored
    Timeout,     // the request never completes (libusb times out and discards it)
    Unplug,      // the board leaves the bus when the request arrives (the request fails, no device)
    StayBusy,    // from this request on every GETSTATUS answers dfuDNBUSY, until clearFaults() or replug
};

struct Fault {
    FaultType type = FaultType::ErrorStatus;
    Request on = Request::Any;
    int skip = 0;                     // let this many matching requests pass first
    uint8_t status = errUNKNOWN;      // for ErrorStatus
};

// One contiguous memory of an alternate setting, with its physical pages.
struct Segment {
    uint32_t count;
    uint32_t size; // bytes
};

// How the host's libusb gets hold of the board.
enum class UsbAccess {
    Normal,
    OpenDenied, // opening the device node fails with EACCES (libusb: LIBUSB_ERROR_ACCESS)
    ClaimBusy,  // claiming interface 0 fails with EBUSY (libusb: LIBUSB_ERROR_BUSY)
};

struct BoardOptions {
    Profile profile = Profile::F1;
    // 0: instant (poll timeouts and busy times become 0); 1: the ROM's real
    // bwPollTimeout values and the part's real busy times.
    double timeScale = 0.0;
    uint8_t fillByte = 0xFF;          // initial flash content
    std::string serial;               // iSerialNumber text; the profile's or generated when empty
    bool readProtected = false;       // flash read protection level 1
    // Powers up in dfuERROR / errFIRMWARE when its flash holds no program
    // (reset vector erased), as blank parts do.
    bool blankStartsInError = false;
    UsbAccess usbAccess = UsbAccess::Normal;
    // USB port path as lsusb -t and dfu-util -p write it: bus, then the port
    // chain ("1-3", "1-2.4"). Empty: the lowest free port of bus 1. A chain
    // brings its hubs onto the bus (they take list positions, as real hubs do).
    std::string portPath;
};

// Recorded counts. Every request kind counts, also those that failed.
struct Counters {
    std::map<Request, uint64_t> requests;
    std::map<uint32_t, uint64_t> erasesByAddress; // ErasePage commands by address sent
    uint64_t bytesDownloaded = 0;   // data-stage bytes of DNLOAD data blocks
    uint64_t bytesUploaded = 0;     // data-stage bytes of UPLOAD replies
    uint64_t busyMicroseconds = 0;  // true busy time modelled (unscaled)
    uint64_t pollTimeoutMilliseconds = 0; // sum of the bwPollTimeout values reported (scaled)
    uint64_t earlyStatusStalls = 0;  // status requests stalled for coming before bwPollTimeout
    uint64_t heldRequests = 0;       // requests held until the running operation was over
    uint64_t heldMicroseconds = 0;   // real time they were held in all
};

class Board {
public:
    virtual ~Board() = default;

    // Position of the board in libusb's device list (0-based).
    virtual int listPosition() const = 0;
    virtual std::string portPath() const = 0; // "1-3", "1-2.4"
    virtual Profile profile() const = 0;

    // Memory access by absolute address (internal flash, option bytes, ...).
    // A range that no single memory holds throws std::out_of_range.
    virtual std::vector<uint8_t> read(uint32_t address, uint32_t length) const = 0;
    virtual void write(uint32_t address, const std::vector<uint8_t>& bytes) = 0; // direct, no flash rules
    virtual std::vector<uint8_t> flash() const = 0;  // the whole internal flash
    virtual void fillFlash(uint8_t value) = 0;
    virtual void fillFlashPattern(uint32_t seed) = 0; // deterministic pseudo-random content
    virtual uint32_t flashStart() const = 0;
    virtual uint32_t flashSize() const = 0;
    virtual uint16_t transferSize() const = 0;
    virtual std::vector<Segment> flashSegments() const = 0;

    // Inspection.
    virtual Counters counters() const = 0;
    virtual uint64_t count(Request kind) const = 0;
    virtual void resetCounters() = 0;
    virtual uint8_t state() const = 0;
    virtual uint8_t status() const = 0;
    virtual bool hasLeft() const = 0;            // left DFU mode through the leave request
    virtual uint32_t leaveAddress() const = 0;   // address pointer at the leave
    // What the leave started: the vector table at the address pointer
    // (initial stack pointer, then reset handler). A table that cannot be a
    // program's counts as a fault (a real part then resets).
    virtual uint32_t startedStackPointer() const = 0;
    virtual uint32_t startedResetHandler() const = 0;
    virtual bool startFaulted() const = 0;
    virtual bool readProtected() const = 0;
    virtual uint32_t physicalFlashSize() const = 0; // may be less than the layout's flashSize()
    virtual uint64_t resets() const = 0;         // resets by Read Unprotect or new option bytes
    virtual bool plugged() const = 0;
    virtual uint32_t addressPointer() const = 0; // as the last Set Address Pointer left it

    // Fault injection: faults fire in the order added, each once; only the
    // oldest pending fault is armed, so a list of faults is a script.
    virtual void injectFault(const Fault& fault) = 0;
    virtual void clearFaults() = 0;
};

class Bus {
public:
    // Creates the testbed. The process must run under the umockdev preload
    // (see ensurePreload).
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Devices appear in libusb's list in the order they are added, whatever
    // their port paths. A port path that is malformed or taken throws
    // std::invalid_argument.
    Board& addBoard(const BoardOptions& options = {});
    void addForeignDevice(); // a HID keyboard, not a DFU target
    void unplug(Board& board);
    void replug(Board& board);
    // Changes how libusb gets hold of a board from now on.
    void setUsbAccess(Board& board, UsbAccess access);

    std::vector<Board*> boards();
    std::string umockdevDir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Re-executes the current program under the umockdev preload (keeping an
// AddressSanitizer runtime first in LD_PRELOAD) unless it already runs under
// it. Call first thing in main(). Returns only when preloaded.
void ensurePreload(int argc, char** argv);

// Name of a request kind, for messages ("GetStatus", "ErasePage", ...).
const char* requestName(Request kind);

// Checks a port path ("1-3", "1-2.4": bus 1 to 99, then 1 to 7 ports of 1 to
// 127); empty when it is well formed, else what is wrong.
std::string portPathProblem(const std::string& path);

} // namespace vboard

#endif
