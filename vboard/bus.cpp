// The umockdev side: devices in the testbed's sysfs and usbdevfs ioctls on
// their nodes. Handlers run on umockdev's worker thread and never block.
#include "board_device.h"
#include "virtual_board.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace vboard {

namespace {

constexpr int kBusNumber = 1;
constexpr int kMaxDevices = 99;
constexpr const char* kDeniedNodesFile = "vboard-open-denied";

// libusb lists devices in the reverse order of their sysfs paths. A folder
// named by this key holds each device, the first added under the highest
// key, so that list order is addition order whatever the bus and port; hubs
// sort below every other device and so come last, after the devices on them,
// as on a real Linux machine, the newest hub first (a hub always sorts after
// the hub it hangs on, so libusb never has to look a parent up out of turn).
std::string listOrderKey(int index, bool hub) {
    return hub ? "h" + std::to_string(100 + index) : "o" + std::to_string(500 - index);
}

constexpr int kMaxBus = 99;
constexpr int kMaxPort = 127;
constexpr int kMaxChain = 7; // USB allows five hubs between a device and its root port

struct PortPath {
    int bus = 0;
    std::vector<int> ports;
};

// Reads "B-P.P.P"; false when the text is not such a path.
bool parsePortPath(const std::string& text, PortPath& out, std::string& problem) {
    size_t dash = text.find('-');
    auto number = [](const std::string& digits, int limit, int& value) {
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        value = std::stoi(digits);
        return value >= 1 && value <= limit;
    };
    if (dash == std::string::npos || !number(text.substr(0, dash), kMaxBus, out.bus)) {
        problem = "port path \"" + text + "\" does not start with a bus number 1 to " + std::to_string(kMaxBus) +
                  " and '-' (as in 1-2.3)";
        return false;
    }
    out.ports.clear();
    size_t begin = dash + 1;
    for (;;) {
        size_t dot = text.find('.', begin);
        int port = 0;
        if (!number(text.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin), kMaxPort, port)) {
            problem = "port path \"" + text + "\": ports are numbers 1 to " + std::to_string(kMaxPort) +
                      " joined by '.' (as in 1-2.3)";
            return false;
        }
        out.ports.push_back(port);
        if (dot == std::string::npos) break;
        begin = dot + 1;
    }
    if (int(out.ports.size()) > kMaxChain) {
        problem = "port path \"" + text + "\" is deeper than " + std::to_string(kMaxChain) + " ports";
        return false;
    }
    return true;
}

std::string portPathText(int bus, const std::vector<int>& ports, size_t depth) {
    std::string text = std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; ++i) text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// A full-speed hub with four ports: what a port chain such as 1-2.3 hangs on.
std::vector<uint8_t> hubDescriptors() {
    return {18, 1, 0x00, 0x02, 9, 0, 0, 64, 0x09, 0x1A, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1,
            // configuration, one hub interface with its status-change endpoint
            9, 2, 25, 0, 1, 1, 0, 0xE0, 50,
            9, 4, 0, 0, 1, 9, 0, 0, 0,
            7, 5, 0x81, 3, 1, 0, 255};
}

// A USB keyboard: not a DFU target, only there to take a list position.
std::vector<uint8_t> keyboardDescriptors() {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x6D, 0x04, 0x1C, 0xC3, 0x00, 0x01, 0, 0, 0, 1,
            // configuration, one HID boot keyboard interface with an interrupt endpoint
            9, 2, 34, 0, 1, 1, 0, 0xA0, 50,
            9, 4, 0, 0, 1, 3, 1, 1, 0,
            9, 0x21, 0x11, 0x01, 0, 1, 0x22, 63, 0,
            7, 5, 0x81, 3, 8, 0, 10};
}

struct GObjectRef {
    gpointer object = nullptr;
    explicit GObjectRef(gpointer o = nullptr) : object(o) {}
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    GObjectRef(GObjectRef&& other) noexcept : object(other.object) { other.object = nullptr; }
    GObjectRef& operator=(GObjectRef&& other) noexcept {
        std::swap(object, other.object);
        return *this;
    }
    ~GObjectRef() {
        if (object) g_object_unref(object);
    }
};

// A control URB that has been submitted and waits to be reaped.
struct SubmittedUrb {
    GObjectRef urb; // UMockdevIoctlData of the usbdevfs_urb
};

// A URB the board answers only at a later time (its control pipe is busy).
struct HeldUrb {
    GObjectRef urb;
    GObjectRef buffer;
    ControlResult result;
    bool isIn = false;
};

struct ClientState {
    int alternate = 0;
    bool disconnected = false; // its board reset since it opened the node
    std::deque<SubmittedUrb> completed;
    std::deque<SubmittedUrb> hanging;
    std::deque<HeldUrb> held;
};

} // namespace

struct BusCore;

struct Node {
    BusCore* bus = nullptr;
    std::unique_ptr<BoardDevice> board; // null for the foreign device
    int index = 0;
    int deviceNumber = 0;
    int busNumber = 1;
    std::string portPath; // "1-2.3"; kept across unplug, so a board comes back on its port
    std::string sysPath; // without the /sys prefix, as umockdev wants it
    std::string devNode;
    std::vector<uint8_t> descriptors;
    GObjectRef handler;
    bool attached = false; // ioctl handler on the node (kept across unplug)
    bool present = false;  // in sysfs, so in libusb's list
    bool isHub = false;

    std::mutex clientsMutex;
    std::map<UMockdevIoctlClient*, ClientState> clients;
};

struct BusCore {
    UMockdevTestbed* testbed = nullptr;
    std::mutex mutex; // guards the testbed's device set
    std::vector<std::unique_ptr<Node>> nodes;
    int nextDeviceNumber = 2;

    void plug(Node& node);
    void removeFromTestbed(Node& node);
    void reset(Node& node);
    void writeDeniedNodes();
    int listPositionOf(const Node& node) const;
    void renumber();
    const Node* nodeAt(const std::string& portPath) const;
    std::string portPathFor(const std::string& asked);
    // Adds and plugs a device: a board, or (board null) a hub or keyboard.
    Node& addNode(std::vector<uint8_t> descriptors, const std::string& portPath,
                  std::unique_ptr<BoardDevice> board = nullptr, bool isHub = false);
};

struct Bus::Impl : BusCore {};

namespace {

// The ioctl argument is the client's pointer; this resolves what it points to.
UMockdevIoctlData* resolveArg(UMockdevIoctlClient* client, gsize size) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (error) g_error_free(error);
    return data;
}

ControlSetup parseSetup(const uint8_t* bytes) {
    ControlSetup setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = uint16_t(bytes[2] | bytes[3] << 8);
    setup.index = uint16_t(bytes[4] | bytes[5] << 8);
    setup.length = uint16_t(bytes[6] | bytes[7] << 8);
    return setup;
}

void completeUrb(UMockdevIoctlData* urbData, int status, int actualLength) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    usbdevfs_urb updated = *urb;
    updated.status = status;
    updated.actual_length = actualLength;
    umockdev_ioctl_data_update(urbData, 0, reinterpret_cast<guint8*>(&updated), int(sizeof updated));
}

// Foreign device: answers descriptors, stalls anything else.
ControlResult foreignControl(const Node& node, const ControlSetup& setup) {
    ControlResult result;
    if (setup.requestType == 0x80 && setup.request == 6 && (setup.value >> 8) == 1) {
        result.data.assign(node.descriptors.begin(), node.descriptors.begin() + 18);
        if (result.data.size() > setup.length) result.data.resize(setup.length);
        result.actualLength = uint32_t(result.data.size());
        return result;
    }
    result.completion = Completion::Stall;
    return result;
}

void finishUrb(UMockdevIoctlData* urb, UMockdevIoctlData* buffer, const ControlResult& result, bool isIn) {
    if (result.completion == Completion::Stall) {
        completeUrb(urb, -EPIPE, 0);
        return;
    }
    if (isIn && !result.data.empty())
        umockdev_ioctl_data_update(buffer, 8, const_cast<guint8*>(result.data.data()), int(result.data.size()));
    completeUrb(urb, 0, int(result.actualLength));
}

// Held URBs whose time has come become reapable. libusb polls the emulated
// node again and again while a transfer is open, so this runs often enough.
void releaseHeldUrbs(ClientState& state) {
    uint64_t now = steadyMicroseconds();
    while (!state.held.empty() && state.held.front().result.releaseAtUs <= now) {
        HeldUrb& held = state.held.front();
        finishUrb(static_cast<UMockdevIoctlData*>(held.urb.object), static_cast<UMockdevIoctlData*>(held.buffer.object),
                  held.result, held.isIn);
        state.completed.push_back(SubmittedUrb{std::move(held.urb)});
        state.held.pop_front();
    }
}

void handleSubmit(Node& node, UMockdevIoctlClient* client, ClientState& state) {
    UMockdevIoctlData* arg = resolveArg(client, sizeof(usbdevfs_urb));
    if (!arg) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    GObjectRef argRef(arg);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(arg->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(arg, offsetof(usbdevfs_urb, buffer), gsize(urb->buffer_length), &error);
    if (!buffer) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    GObjectRef bufferRef(buffer);
    ControlSetup setup = parseSetup(buffer->data);
    if (8 + int(setup.length) > urb->buffer_length) setup.length = uint16_t(urb->buffer_length - 8);

    ControlResult result = node.board ? node.board->control(setup, buffer->data + 8, state.alternate)
                                      : foreignControl(node, setup);
    switch (result.completion) {
    case Completion::NoDevice:
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        if (result.leaveBus) node.bus->removeFromTestbed(node);
        return;
    case Completion::Hang:
        state.hanging.push_back(SubmittedUrb{GObjectRef(g_object_ref(arg))});
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case Completion::Stall:
    case Completion::Done:
        break;
    }
    if (result.releaseAtUs > steadyMicroseconds()) {
        bool resets = result.resetAfter, leaves = result.leaveBus;
        state.held.push_back(HeldUrb{GObjectRef(g_object_ref(arg)), GObjectRef(g_object_ref(buffer)),
                                     std::move(result), setup.isIn()});
        umockdev_ioctl_client_complete(client, 0, 0);
        if (resets) node.bus->reset(node);
        else if (leaves) node.bus->removeFromTestbed(node);
        return;
    }
    finishUrb(arg, buffer, result, setup.isIn());
    state.completed.push_back(SubmittedUrb{GObjectRef(g_object_ref(arg))});
    umockdev_ioctl_client_complete(client, 0, 0);
    if (result.resetAfter) node.bus->reset(node);
    else if (result.leaveBus) node.bus->removeFromTestbed(node);
}

// URBs that would never complete end as on a disconnect (-ESHUTDOWN).
// Called with the node's clientsMutex held.
void failHangingUrbs(ClientState& state) {
    for (auto& urb : state.hanging) {
        completeUrb(static_cast<UMockdevIoctlData*>(urb.urb.object), -ESHUTDOWN, 0);
        state.completed.push_back(std::move(urb));
    }
    state.hanging.clear();
    for (auto& held : state.held) {
        completeUrb(static_cast<UMockdevIoctlData*>(held.urb.object), -ESHUTDOWN, 0);
        state.completed.push_back(SubmittedUrb{std::move(held.urb)});
    }
    state.held.clear();
}

void failHangingUrbs(Node& node) {
    for (auto& entry : node.clients) failHangingUrbs(entry.second);
}

void handleReap(UMockdevIoctlClient* client, ClientState& state) {
    if (state.completed.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* target = resolveArg(client, sizeof(void*));
    if (!target) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    GObjectRef targetRef(target);
    SubmittedUrb next = std::move(state.completed.front());
    state.completed.pop_front();
    umockdev_ioctl_data_set_ptr(target, 0, static_cast<UMockdevIoctlData*>(next.urb.object));
    umockdev_ioctl_client_complete(client, 0, 0);
}

// A discarded held URB ends as discarded; the board keeps holding the pipe,
// so the next request waits for the rest of the operation.
bool discardHeld(UMockdevIoctlData* arg, ClientState& state) {
    for (auto it = state.held.begin(); it != state.held.end(); ++it) {
        auto* urbData = static_cast<UMockdevIoctlData*>(it->urb.object);
        bool sameUrb = arg->data_len >= int(sizeof(gulong)) &&
                       *reinterpret_cast<gulong*>(arg->data) == urbData->client_addr;
        if (!sameUrb) continue;
        completeUrb(urbData, -ENOENT, 0);
        state.completed.push_back(SubmittedUrb{std::move(it->urb)});
        state.held.erase(it);
        return true;
    }
    return false;
}

void handleDiscard(UMockdevIoctlClient* client, ClientState& state) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (discardHeld(arg, state)) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    for (auto it = state.hanging.begin(); it != state.hanging.end(); ++it) {
        auto* urbData = static_cast<UMockdevIoctlData*>(it->urb.object);
        // DISCARDURB passes the URB's address itself.
        bool sameUrb = arg->data_len >= int(sizeof(gulong)) &&
                       *reinterpret_cast<gulong*>(arg->data) == urbData->client_addr;
        if (!sameUrb) continue;
        completeUrb(urbData, -ENOENT, 0);
        state.completed.push_back(std::move(*it));
        state.hanging.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void handleSetInterface(Node& node, UMockdevIoctlClient* client, ClientState& state) {
    UMockdevIoctlData* arg = resolveArg(client, sizeof(usbdevfs_setinterface));
    if (!arg) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    GObjectRef argRef(arg);
    auto* request = reinterpret_cast<usbdevfs_setinterface*>(arg->data);
    int alternates = node.board ? node.board->alternateCount() : 1;
    if (request->interface != 0 || int(request->altsetting) >= alternates) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    state.alternate = int(request->altsetting);
    umockdev_ioctl_client_complete(client, 0, 0);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    Node& node = *static_cast<Node*>(userData);
    gulong request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> lock(node.clientsMutex);
    ClientState& state = node.clients[client];
    releaseHeldUrbs(state);
    if (state.disconnected) {
        failHangingUrbs(state);
        if ((request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) && !state.completed.empty())
            handleReap(client, state);
        else
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (node.board && !node.board->plugged()) {
        // Like a real disconnect: what completed can still be reaped, the rest fails.
        failHangingUrbs(node);
        if ((request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) && !state.completed.empty())
            handleReap(client, state);
        else
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB: handleSubmit(node, client, state); break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: handleReap(client, state); break;
    case USBDEVFS_DISCARDURB: handleDiscard(client, state); break;
    case USBDEVFS_SETINTERFACE: handleSetInterface(node, client, state); break;
    case USBDEVFS_GET_CAPABILITIES: {
        guint32 caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        GObjectRef arg(resolveArg(client, sizeof caps));
        if (!arg.object) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        umockdev_ioctl_data_update(static_cast<UMockdevIoctlData*>(arg.object), 0,
                                   reinterpret_cast<guint8*>(&caps), int(sizeof caps));
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        GObjectRef arg(resolveArg(client, sizeof(unsigned int)));
        if (!arg.object) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        unsigned int interface = *reinterpret_cast<unsigned int*>(static_cast<UMockdevIoctlData*>(arg.object)->data);
        int error = interface != 0 ? ENOENT : 0;
        // Another program holds the interface: the kernel answers EBUSY.
        if (!error && node.board && node.board->usbAccess() == UsbAccess::ClaimBusy) error = EBUSY;
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        break;
    }
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA); // no kernel driver bound
        break;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }
    return TRUE;
}

void onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    Node& node = *static_cast<Node*>(userData);
    std::lock_guard<std::mutex> lock(node.clientsMutex);
    node.clients.erase(client);
}

std::string deviceRecord(const Node& node) {
    char busDir[8], devFile[8];
    std::snprintf(busDir, sizeof busDir, "%03d", node.busNumber);
    std::snprintf(devFile, sizeof devFile, "%03d", node.deviceNumber);
    std::string record;
    record += "P: " + node.sysPath + "\n";
    record += std::string("N: bus/usb/") + busDir + "/" + devFile + "\n";
    record += "E: DEVNAME=" + node.devNode + "\n";
    record += "E: DEVTYPE=usb_device\n";
    record += "E: SUBSYSTEM=usb\n";
    record += "E: BUSNUM=" + std::string(busDir) + "\n";
    record += "E: DEVNUM=" + std::string(devFile) + "\n";
    if (node.board) {
        record += "E: PRODUCT=483/df11/" + std::to_string(node.board->bcdDevice()) + "\n";
        record += "A: serial=" + node.board->serial() + "\\n\n";
    }
    record += "A: busnum=" + std::to_string(node.busNumber) + "\\n\n";
    record += "A: devnum=" + std::to_string(node.deviceNumber) + "\\n\n";
    record += "A: speed=12\\n\n";
    record += "A: bConfigurationValue=1\\n\n";
    record += "A: bNumConfigurations=1\\n\n";
    record += "H: descriptors=" + hex(node.descriptors) + "\n";
    return record;
}

void removeTree(const std::string& path) {
    GDir* dir = g_dir_open(path.c_str(), 0, nullptr);
    if (dir) {
        while (const gchar* entry = g_dir_read_name(dir)) {
            std::string child = path + "/" + entry;
            if (g_file_test(child.c_str(), G_FILE_TEST_IS_DIR) && !g_file_test(child.c_str(), G_FILE_TEST_IS_SYMLINK))
                removeTree(child);
            else
                ::unlink(child.c_str());
        }
        g_dir_close(dir);
    }
    ::rmdir(path.c_str());
}

} // namespace

void BusCore::plug(Node& node) {
    GError* error = nullptr;
    // Powered before it shows in sysfs: a client that finds it at once must
    // be able to talk to it, as to a real device once the kernel lists it.
    if (node.board) {
        node.board->powerUp();
        node.board->setPlugged(true);
    }
    std::string record = deviceRecord(node);
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        std::string message = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("vboard: cannot add device: " + message);
    }
    if (!node.handler.object) {
        node.handler = GObjectRef(umockdev_ioctl_base_new());
        g_signal_connect(node.handler.object, "handle-ioctl", G_CALLBACK(onIoctl), &node);
        g_signal_connect(node.handler.object, "client-vanished", G_CALLBACK(onClientVanished), &node);
    }
    if (!node.attached && !umockdev_testbed_attach_ioctl(testbed, node.devNode.c_str(),
                                                         static_cast<UMockdevIoctlBase*>(node.handler.object),
                                                         &error)) {
        std::string message = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("vboard: cannot attach device node: " + message);
    }
    node.attached = true;
    node.present = true;
}

// The ioctl handler stays attached, so that a client still holding the node
// gets ENODEV as from a real unplugged device; only sysfs forgets the device.
void BusCore::removeFromTestbed(Node& node) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!node.present) return;
    node.present = false;
    if (node.board) node.board->setPlugged(false);
    umockdev_testbed_uevent(testbed, ("/sys" + node.sysPath).c_str(), "remove");
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string base = root;
    g_free(root);
    std::string name = node.sysPath.substr(node.sysPath.rfind('/') + 1);
    removeTree(base + "/sys" + node.sysPath);
    ::unlink((base + "/sys/bus/usb/devices/" + name).c_str());
    renumber();
}

// A reset drops the board off the bus and brings it straight back in DFU
// mode: handles opened before it are dead, a new open finds the board.
void BusCore::reset(Node& node) {
    removeFromTestbed(node);
    for (auto& entry : node.clients) failHangingUrbs(entry.second);
    for (auto& entry : node.clients) entry.second.disconnected = true;
    std::lock_guard<std::mutex> lock(mutex);
    plug(node);
    renumber();
}

// The open guard preloaded beside umockdev refuses the nodes listed here.
void BusCore::writeDeniedNodes() {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string path = std::string(root) + "/" + kDeniedNodesFile;
    g_free(root);
    std::string list;
    for (const auto& node : nodes)
        if (node->board && node->board->usbAccess() == UsbAccess::OpenDenied) list += node->devNode + "\n";
    g_file_set_contents(path.c_str(), list.c_str(), gssize(list.size()), nullptr);
}

// Hubs come after every other device (see listOrderKey), newest hub first.
int BusCore::listPositionOf(const Node& node) const {
    if (!node.present) return -1;
    int position = 0;
    for (const auto& other : nodes)
        if (other->present && !other->isHub && (node.isHub || other->index < node.index)) ++position;
    for (const auto& other : nodes)
        if (other->present && other->isHub && node.isHub && other->index > node.index) ++position;
    return position;
}

void BusCore::renumber() {
    for (const auto& node : nodes)
        if (node->board) node->board->setListPosition(listPositionOf(*node));
}

const Node* BusCore::nodeAt(const std::string& portPath) const {
    for (const auto& node : nodes)
        if (node->portPath == portPath) return node.get();
    return nullptr;
}

// The port path a new board gets: the one asked for, its hubs added first,
// or the lowest root port of bus 1 that nothing uses.
std::string BusCore::portPathFor(const std::string& asked) {
    if (asked.empty()) {
        for (int port = 1; port <= kMaxPort; ++port) {
            std::string path = portPathText(kBusNumber, {port}, 1);
            if (!nodeAt(path)) return path;
        }
        throw std::length_error("vboard: no free port on bus 1");
    }
    PortPath parsed;
    std::string problem;
    if (!parsePortPath(asked, parsed, problem)) throw std::invalid_argument("vboard: " + problem);
    std::string path = portPathText(parsed.bus, parsed.ports, parsed.ports.size());
    if (nodeAt(path)) throw std::invalid_argument("vboard: port path " + path + " is taken");
    for (size_t depth = 1; depth < parsed.ports.size(); ++depth) {
        std::string hubPath = portPathText(parsed.bus, parsed.ports, depth);
        const Node* hub = nodeAt(hubPath);
        if (hub && !hub->isHub) throw std::invalid_argument("vboard: " + hubPath + " is a device, not a hub");
        if (!hub) addNode(hubDescriptors(), hubPath, nullptr, true);
    }
    return path;
}

Node& BusCore::addNode(std::vector<uint8_t> descriptors, const std::string& portPath,
                       std::unique_ptr<BoardDevice> board, bool isHub) {
    int index = int(nodes.size());
    if (index >= kMaxDevices) throw std::length_error("vboard: too many devices on one bus");
    auto node = std::make_unique<Node>();
    node->bus = this;
    node->index = index;
    node->deviceNumber = nextDeviceNumber++;
    node->portPath = portPath;
    node->busNumber = std::stoi(portPath.substr(0, portPath.find('-')));
    node->isHub = isHub;
    node->sysPath = "/devices/pci0000:00/0000:00:14.0/" + listOrderKey(index, isHub) + "/usb" +
                    std::to_string(node->busNumber) + "/" + portPath;
    char devNode[32];
    std::snprintf(devNode, sizeof devNode, "/dev/bus/usb/%03d/%03d", node->busNumber, node->deviceNumber);
    node->devNode = devNode;
    node->descriptors = std::move(descriptors);
    node->board = std::move(board);
    plug(*node);
    nodes.push_back(std::move(node));
    renumber();
    return *nodes.back();
}

namespace {

// UMOCKDEV_DIR is process-wide and the newest testbed sets it. A test that
// replaces its Bus builds the new one before the old one goes; the old
// testbed then unsets the variable, so it is put back for the newest Bus.
std::mutex liveBusesMutex;
std::vector<BusCore*> liveBuses;

void forgetBus(BusCore* bus) {
    std::lock_guard<std::mutex> lock(liveBusesMutex);
    liveBuses.erase(std::remove(liveBuses.begin(), liveBuses.end(), bus), liveBuses.end());
    if (liveBuses.empty()) return;
    gchar* root = umockdev_testbed_get_root_dir(liveBuses.back()->testbed);
    if (root) g_setenv("UMOCKDEV_DIR", root, TRUE);
    g_free(root);
}

} // namespace

Bus::Bus() : impl_(std::make_unique<Impl>()) {
    // Halves the cost of every emulated ioctl round trip.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed) throw std::runtime_error("vboard: cannot create the umockdev testbed");
    std::lock_guard<std::mutex> lock(liveBusesMutex);
    liveBuses.push_back(impl_.get());
}

Bus::~Bus() {
    for (auto& node : impl_->nodes) {
        if (node->attached) umockdev_testbed_detach_ioctl(impl_->testbed, node->devNode.c_str(), nullptr);
        node->attached = false;
        node->present = false;
    }
    g_object_unref(impl_->testbed);
    for (auto& node : impl_->nodes) node->handler = GObjectRef();
    forgetBus(impl_.get());
}

namespace {

std::string generatedSerial(const BoardOptions& options, int index) {
    if (!options.serial.empty()) return options.serial;
    if (const char* fixed = describe(options.profile).fixedSerial) return fixed;
    char text[16];
    std::snprintf(text, sizeof text, "%012llX", 0x3574364C3030ULL + unsigned(index));
    return text;
}

} // namespace

Board& Bus::addBoard(const BoardOptions& options) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::string path = impl_->portPathFor(options.portPath);
    // The serial counts the devices before it, hubs included, as it always has.
    auto board = std::make_unique<BoardDevice>(options, generatedSerial(options, int(impl_->nodes.size())));
    board->setPortPath(path);
    std::vector<uint8_t> descriptors = board->sysfsDescriptors();
    Node& node = impl_->addNode(std::move(descriptors), path, std::move(board));
    if (options.usbAccess == UsbAccess::OpenDenied) impl_->writeDeniedNodes();
    return *node.board;
}

void Bus::addForeignDevice() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->addNode(keyboardDescriptors(), impl_->portPathFor(""));
}

void Bus::unplug(Board& board) {
    for (auto& node : impl_->nodes)
        if (node->board.get() == &board) impl_->removeFromTestbed(*node);
}

void Bus::setUsbAccess(Board& board, UsbAccess access) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& node : impl_->nodes)
        if (node->board.get() == &board) node->board->setUsbAccess(access);
    impl_->writeDeniedNodes();
}

void Bus::replug(Board& board) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& node : impl_->nodes) {
        if (node->board.get() != &board || node->present) continue;
        impl_->plug(*node);
        impl_->renumber();
    }
}

std::vector<Board*> Bus::boards() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<Board*> list;
    for (auto& node : impl_->nodes)
        if (node->board) list.push_back(node->board.get());
    return list;
}

std::string portPathProblem(const std::string& path) {
    PortPath parsed;
    std::string problem;
    return parsePortPath(path, parsed, problem) ? std::string() : problem;
}

std::string Bus::umockdevDir() const {
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string dir = root ? root : "";
    g_free(root);
    return dir;
}

} // namespace vboard
