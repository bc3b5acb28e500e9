#include "EmulatedFt232r.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ft232r {
namespace {

constexpr std::size_t kStringAreaStart = 0x18;
constexpr std::size_t kChecksumByte = 0x7E;

// FT232R descriptor indices of the EEPROM's string table entries (offset byte, length byte).
constexpr std::size_t kManufacturerEntry = 0x0E;
constexpr std::size_t kProductEntry = 0x10;
constexpr std::size_t kSerialEntry = 0x12;

constexpr std::uint8_t kOutEndpoint = 0x02;
constexpr std::uint8_t kInEndpoint = 0x81;

using Bytes = std::vector<std::uint8_t>;

// A string descriptor: [length][0x03][UTF-16LE], each 8-bit character one code unit.
Bytes StringDescriptor(const std::string& s) {
    Bytes d{static_cast<std::uint8_t>(2 + 2 * s.size()), 0x03};
    for (char c : s) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// What the chip itself takes from its EEPROM: the three strings, when the image is intact.
struct EepromStrings {
    std::string Manufacturer, Product, Serial;
};

std::optional<std::string> StringAt(const EepromBytes& b, std::size_t Entry) {
    const std::size_t offset = b[Entry] & 0x7F;
    const std::size_t length = b[Entry + 1];
    if (length == 0) return std::string();
    if (length % 2 != 0 || offset < kStringAreaStart || offset + length > kChecksumByte ||
        b[offset] != length || b[offset + 1] != 0x03)
        return std::nullopt;
    std::string s;
    for (std::size_t i = offset + 2; i < offset + length; i += 2)
        s.push_back(static_cast<char>(b[i + 1] == 0 ? b[i] : '?'));
    return s;
}

std::optional<EepromStrings> DecodeStrings(const EepromWords& Words) {
    if (EepromChecksum(Words) != Words[63]) return std::nullopt;
    const EepromBytes b = ToBytes(Words);
    auto m = StringAt(b, kManufacturerEntry);
    auto p = StringAt(b, kProductEntry);
    auto s = StringAt(b, kSerialEntry);
    if (!m || !p || !s) return std::nullopt;
    return EepromStrings{*m, *p, *s};
}

EepromWords GarbledEeprom(const BoardConfig& c) {
    EepromBytes b = ToBytes(ProgrammedEeprom(c.Manufacturer, c.Description, c.Serial));
    // A torn write: the string table points into the checksum and the headers are overwritten;
    // the checksum still belongs to the old contents.
    b[kProductEntry] = 0x80 | 0x75;
    b[kProductEntry + 1] = 0x33;
    b[kSerialEntry] = 0x80 | 0x19;
    b[kSerialEntry + 1] = 0x40;
    b[kStringAreaStart] = 0x5A;
    b[kStringAreaStart + 1] = 0xA5;
    return ToWords(b);
}

EepromWords InitialEeprom(const BoardConfig& c) {
    if (c.RawEeprom) return *c.RawEeprom;
    switch (c.Eeprom) {
        case EepromContent::Blank: {
            EepromWords w;
            w.fill(0xFFFF);
            return w;
        }
        case EepromContent::Garbled:
            return GarbledEeprom(c);
        case EepromContent::Programmed:
            break;
    }
    return ProgrammedEeprom(c.Manufacturer, c.Description, c.Serial);
}

std::string Hex(const Bytes& b) {
    std::string s;
    char part[3];
    for (std::uint8_t v : b) {
        std::snprintf(part, sizeof part, "%02x", v);
        s += part;
    }
    return s;
}

// 3 MHz base clock, divisor in eighths: integer part in value bits 0..13, fraction code in value
// bits 14..15 and index bit 0.
std::uint32_t DecodeBaudRate(std::uint16_t Value, std::uint16_t Index) {
    static constexpr std::uint32_t kEighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    if (Index == 0 && Value == 0) return 3000000;
    if (Index == 0 && Value == 1) return 2000000;
    const std::uint32_t code = static_cast<std::uint32_t>((Value >> 14) | ((Index & 1) << 2));
    const std::uint32_t eighths = (Value & 0x3FFFu) * 8 + kEighthsOfCode[code];
    return (24000000u + eighths / 2) / eighths;
}

// A string descriptor's text as the kernel's sysfs attribute holds it: UTF-8, each 8-bit
// character one code unit; the backslash escaped for umockdev's record, which ends each
// attribute's value with a newline, as sysfs does.
std::string SysfsText(const std::string& Text) {
    std::string out;
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// As udev's usb_id puts a string into a property: what is not plain ASCII becomes '_'.
std::string UdevText(const std::string& Text) {
    std::string out;
    for (const char c : Text)
        out += std::isalnum(static_cast<unsigned char>(c)) || std::strchr("#+-.:=@_", c) ? c : '_';
    return out;
}

// What the kernel (sysfs attributes) and udev's usb_id (properties) say of the device: labgrid's
// USB resources match on these.
std::string UdevStrings(std::uint16_t Vendor, std::uint16_t Product, const EepromStrings& Ds) {
    char ids[160];
    std::snprintf(ids, sizeof ids,
                  "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nE: ID_VENDOR_ID=%04x\n"
                  "E: ID_MODEL_ID=%04x\n",
                  Vendor, Product, Vendor, Product);
    std::string text = ids;
    const std::pair<const char*, const std::string*> strings[] = {
        {"manufacturer", &Ds.Manufacturer}, {"product", &Ds.Product}, {"serial", &Ds.Serial}};
    for (const auto& [name, value] : strings)
        if (!value->empty()) text += std::string("A: ") + name + "=" + SysfsText(*value) + "\\n\n";
    text += "E: ID_VENDOR=" + UdevText(Ds.Manufacturer) + "\nE: ID_MODEL=" + UdevText(Ds.Product) +
            "\n";
    if (!Ds.Serial.empty())
        text += "E: ID_SERIAL_SHORT=" + UdevText(Ds.Serial) + "\nE: ID_SERIAL=" +
                UdevText(Ds.Manufacturer) + "_" + UdevText(Ds.Product) + "_" +
                UdevText(Ds.Serial) + "\n";
    return text;
}

struct PendingUrb {
    UMockdevIoctlClient* client;  // identity only
    UMockdevIoctlData* urb;       // owned reference
    int status;
    int actualLength;
    bool held;
};

struct Answer {
    int status = 0;  // URB status: 0 or a negative errno
    int actualLength = 0;
    bool held = false;
};

}  // namespace

EepromBytes ToBytes(const EepromWords& Words) {
    EepromBytes b{};
    for (std::size_t i = 0; i < Words.size(); ++i) {
        b[2 * i] = static_cast<std::uint8_t>(Words[i] & 0xFF);
        b[2 * i + 1] = static_cast<std::uint8_t>(Words[i] >> 8);
    }
    return b;
}

EepromWords ToWords(const EepromBytes& Bytes) {
    EepromWords w{};
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<std::uint16_t>(Bytes[2 * i] | (Bytes[2 * i + 1] << 8));
    return w;
}

EepromWords ProgrammedEeprom(const std::string& Manufacturer, const std::string& Description,
                             const std::string& Serial) {
    EepromBytes b{};
    b[0x01] = 0x40;  // endpoint size
    b[0x02] = 0x03;  // VID 0x0403
    b[0x03] = 0x04;
    b[0x04] = 0x01;  // PID 0x6001
    b[0x05] = 0x60;
    b[0x07] = 0x06;  // release 0x0600
    b[0x08] = 0xA0;  // bus powered, remote wakeup
    b[0x09] = 45;    // 90 mA
    b[0x0A] = 0x08;  // use the serial number
    b[0x0D] = 0x02;  // USB 2.0
    b[0x14] = 0x10;  // CBUS0 TXLED, CBUS1 RXLED
    b[0x15] = 0x01;
    b[0x16] = 0x01;
    std::size_t at = kStringAreaStart;
    const std::pair<std::size_t, const std::string*> strings[] = {
        {kManufacturerEntry, &Manufacturer},
        {kProductEntry, &Description},
        {kSerialEntry, &Serial}};
    for (const auto& [entry, text] : strings) {
        const Bytes d = StringDescriptor(*text);
        if (at + d.size() + 3 > kChecksumByte)
            throw std::invalid_argument("strings do not fit into the FT232R EEPROM");
        b[entry] = static_cast<std::uint8_t>(0x80 | at);
        b[entry + 1] = d[0];
        std::copy(d.begin(), d.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        at += d.size();
    }
    b[at] = 0x02;  // the legacy PnP field FTDI's tools append
    b[at + 1] = 0x03;
    EepromWords w = ToWords(b);
    w[63] = EepromChecksum(w);
    return w;
}

std::uint16_t EepromChecksum(const EepromWords& Words) {
    std::uint16_t sum = 0xAAAA;
    for (std::size_t i = 0; i < 63; ++i) {
        sum = static_cast<std::uint16_t>(sum ^ Words[i]);
        sum = static_cast<std::uint16_t>((sum << 1) | (sum >> 15));
    }
    return sum;
}

struct EmulatedFt232r::State {
    BoardConfig config;
    std::string sysPath;
    std::string devNode;
    std::string record;  // the sysfs entry in umockdev-record's format, for a replug
    UMockdevTestbed* testbed = nullptr;  // not owned
    UMockdevIoctlBase* handler = nullptr;
    EepromStrings descriptorStrings;  // what the chip serves as string descriptors
    Bytes deviceDescriptor;
    Bytes configDescriptor;

    mutable std::mutex mutex;
    EepromWords eeprom{};
    std::uint8_t inputs = 0xFF;
    std::uint8_t latch = 0;
    std::uint8_t mask = 0;
    std::uint8_t mode = 0;
    std::uint8_t latency = 16;
    std::uint16_t divisorValue = 0;
    std::uint16_t divisorIndex = 0;
    bool baudSet = false;
    bool busy = false;
    bool answering = true;
    bool unplugged = false;
    bool kernelDriver = true;
    int unbinds = 0;
    int rebinds = 0;
    UMockdevIoctlClient* claimOwner = nullptr;
    std::optional<std::pair<std::uint8_t, int>> failNext;  // bRequest, errno
    std::optional<std::uint8_t> silentAt;                  // bRequest
    int openFiles = 0;
    std::vector<Transfer> log;
    std::deque<PendingUrb> pending;
    // Every client that opened the node, referenced. umockdev reports a closed file only through
    // the client's "connected" property, so claims and open files are judged by it.
    std::vector<UMockdevIoctlClient*> clients;
    std::size_t firstLiveClient = 0;  // clients before it belong to the board before its replug

    bool Stale(UMockdevIoctlClient* Client) const {
        const auto live = clients.begin() + static_cast<std::ptrdiff_t>(firstLiveClient);
        return std::find(clients.begin(), live, Client) != live;
    }

    bool ClaimHeld() const {
        return claimOwner != nullptr && umockdev_ioctl_client_get_connected(claimOwner);
    }

    // The driver bound to interface 0, as GETDRIVER names it; null when none.
    const char* DriverName() const {
        if (busy || ClaimHeld()) return "usbfs";
        return kernelDriver ? "ftdi_sio" : nullptr;
    }
    void Unbind() {
        if (kernelDriver) ++unbinds;
        kernelDriver = false;
        busy = false;
        claimOwner = nullptr;
    }

    std::uint8_t PinsLocked() const {
        if (mode == 0) return inputs;
        return static_cast<std::uint8_t>((latch & mask) | (inputs & ~mask));
    }

    // Answers a control transfer; Data has room for the data stage.
    Answer Control(const std::uint8_t* Setup, std::uint8_t* Data, std::size_t Room);
    Answer Bulk(std::uint8_t Endpoint, std::uint8_t* Buffer, std::size_t Length);
    std::optional<Bytes> ControlIn(std::uint8_t Type, std::uint8_t Request, std::uint16_t Value,
                                   std::uint16_t Index) const;
    bool ControlOut(std::uint8_t Type, std::uint8_t Request, std::uint16_t Value,
                    std::uint16_t Index);
    std::optional<Bytes> Descriptor(std::uint16_t Value) const;

    gboolean HandleIoctl(UMockdevIoctlClient* Client);
    void Submit(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg);
    void Reap(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg);
    void Discard(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg);

    // umockdev signal handlers, run on its worker thread; Self is the State.
    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* Client, gpointer Self) {
        return static_cast<State*>(Self)->HandleIoctl(Client);
    }
    static void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* Client, gpointer Self) {
        auto* s = static_cast<State*>(Self);
        std::lock_guard lock(s->mutex);
        s->clients.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(Client)));
    }
};

std::optional<Bytes> EmulatedFt232r::State::Descriptor(std::uint16_t Value) const {
    const std::uint8_t type = static_cast<std::uint8_t>(Value >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(Value & 0xFF);
    if (type == 0x01) return deviceDescriptor;
    if (type == 0x02) return configDescriptor;
    if (type != 0x03) return std::nullopt;
    if (index == 0) return Bytes{0x04, 0x03, 0x09, 0x04};  // English (US)
    const std::string* texts[] = {&descriptorStrings.Manufacturer, &descriptorStrings.Product,
                                  &descriptorStrings.Serial};
    if (index > 3 || texts[index - 1]->empty()) return std::nullopt;
    return StringDescriptor(*texts[index - 1]);
}

std::optional<Bytes> EmulatedFt232r::State::ControlIn(std::uint8_t Type, std::uint8_t Request,
                                                      std::uint16_t Value,
                                                      std::uint16_t Index) const {
    if (Type == 0x80) {
        switch (Request) {
            case 0x00:
                return Bytes{0x00, 0x00};  // GET_STATUS
            case request::GetDescriptor:
                return Descriptor(Value);
            case 0x08:
                return Bytes{0x01};  // GET_CONFIGURATION
            default:
                return std::nullopt;
        }
    }
    if (Type != 0xC0) return std::nullopt;
    switch (Request) {
        case 0x05:
            return Bytes{0x00, 0x60};  // modem status: transmitter empty
        case 0x0A:
            return Bytes{latency};
        case request::ReadPins:
            return Bytes{PinsLocked()};
        case request::ReadEeprom: {
            const std::uint16_t word = eeprom[Index & 0x3F];
            return Bytes{static_cast<std::uint8_t>(word & 0xFF),
                         static_cast<std::uint8_t>(word >> 8)};
        }
        default:
            return std::nullopt;
    }
}

bool EmulatedFt232r::State::ControlOut(std::uint8_t Type, std::uint8_t Request, std::uint16_t Value,
                                       std::uint16_t Index) {
    if (Type == 0x00) return Request == 0x09;  // SET_CONFIGURATION
    if (Type != 0x40) return false;
    switch (Request) {
        case request::Reset:
        case 0x01:  // modem control
        case 0x02:  // flow control
        case 0x04:  // data characteristics
        case 0x06:  // event character
        case 0x07:  // error character
            return true;
        case request::SetBaudRate:
            divisorValue = Value;
            divisorIndex = Index;
            baudSet = true;
            return true;
        case request::SetLatencyTimer:
            latency = static_cast<std::uint8_t>(Value & 0xFF);
            return true;
        case request::SetBitMode:
            mask = static_cast<std::uint8_t>(Value & 0xFF);
            mode = static_cast<std::uint8_t>(Value >> 8);
            return true;
        default:
            return false;
    }
}

Answer EmulatedFt232r::State::Control(const std::uint8_t* Setup, std::uint8_t* Data,
                                      std::size_t Room) {
    Transfer t;
    t.RequestType = Setup[0];
    t.Request = Setup[1];
    t.Value = static_cast<std::uint16_t>(Setup[2] | (Setup[3] << 8));
    t.Index = static_cast<std::uint16_t>(Setup[4] | (Setup[5] << 8));
    t.Length = static_cast<std::uint16_t>(Setup[6] | (Setup[7] << 8));
    if (!(t.RequestType & 0x80)) t.Data.assign(Data, Data + std::min<std::size_t>(Room, t.Length));
    if (silentAt == t.Request) {
        answering = false;
        silentAt.reset();
    }
    t.Answered = answering;
    log.push_back(t);
    if (!answering) return Answer{0, 0, true};
    if (failNext && failNext->first == t.Request)
        return Answer{-std::exchange(failNext, std::nullopt)->second, 0, false};

    const std::size_t room = std::min<std::size_t>(Room, t.Length);
    if (t.RequestType & 0x80) {
        const auto reply = ControlIn(t.RequestType, t.Request, t.Value, t.Index);
        if (!reply) return Answer{-EPIPE, 0, false};
        const std::size_t n = std::min(room, reply->size());
        std::copy_n(reply->begin(), n, Data);
        return Answer{0, static_cast<int>(n), false};
    }
    if (!ControlOut(t.RequestType, t.Request, t.Value, t.Index)) return Answer{-EPIPE, 0, false};
    return Answer{0, static_cast<int>(room), false};
}

Answer EmulatedFt232r::State::Bulk(std::uint8_t Endpoint, std::uint8_t* Buffer,
                                   std::size_t Length) {
    Transfer t;
    t.kind = Endpoint == kOutEndpoint ? Transfer::Kind::BulkOut : Transfer::Kind::BulkIn;
    t.Length = static_cast<std::uint16_t>(std::min<std::size_t>(Length, 0xFFFF));
    if (t.kind == Transfer::Kind::BulkOut) t.Data.assign(Buffer, Buffer + Length);
    t.Answered = answering;
    log.push_back(t);
    if (!answering) return Answer{0, 0, true};

    if (Endpoint == kOutEndpoint) {
        // In the bit-bang modes every byte drives the pins in turn; the last one stays.
        if ((mode == 0x01 || mode == 0x04) && Length > 0) latch = Buffer[Length - 1];
        return Answer{0, static_cast<int>(Length), false};
    }
    if (Endpoint == kInEndpoint) {
        // No received data: only the two modem status bytes every IN packet starts with.
        const std::uint8_t status[2] = {0x01, 0x60};
        const std::size_t n = std::min<std::size_t>(Length, 2);
        std::copy_n(status, n, Buffer);
        return Answer{0, static_cast<int>(n), false};
    }
    return Answer{-EPIPE, 0, false};
}

void EmulatedFt232r::State::Submit(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg) {
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(Arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urbData == nullptr) {
        umockdev_ioctl_client_complete(Client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    const std::size_t length =
        urb->buffer_length > 0 ? static_cast<std::size_t>(urb->buffer_length) : 0;
    std::uint8_t* buffer = nullptr;
    if (length > 0) {
        UMockdevIoctlData* bufferData =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), length, nullptr);
        if (bufferData == nullptr) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(Client, -1, EFAULT);
            return;
        }
        buffer = bufferData->data;
        g_object_unref(bufferData);  // the URB's data keeps it
    }

    Answer answer;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0 && length >= 8)
        answer = Control(buffer, buffer + 8, length - 8);
    else if (urb->type == USBDEVFS_URB_TYPE_BULK)
        answer = Bulk(urb->endpoint, buffer, length);
    else {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(Client, -1, EINVAL);
        return;
    }
    pending.push_back(PendingUrb{Client, urbData, answer.status, answer.actualLength, answer.held});
    umockdev_ioctl_client_complete(Client, 0, 0);
}

void EmulatedFt232r::State::Reap(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg) {
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const PendingUrb& p) { return p.client == Client && !p.held; });
    if (it == pending.end()) {
        umockdev_ioctl_client_complete(Client, -1, EAGAIN);
        return;
    }
    PendingUrb done = *it;
    pending.erase(it);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(done.urb->data);
    urb->status = done.status;
    urb->actual_length = done.actualLength;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(Arg, 0, sizeof(void*), nullptr);
    if (slot != nullptr) {
        umockdev_ioctl_data_set_ptr(slot, 0, done.urb);
        g_object_unref(slot);
    }
    g_object_unref(done.urb);
    umockdev_ioctl_client_complete(Client, slot != nullptr ? 0 : -1, slot != nullptr ? 0 : EFAULT);
}

void EmulatedFt232r::State::Discard(UMockdevIoctlClient* Client, UMockdevIoctlData* Arg) {
    gulong address = 0;
    std::memcpy(&address, Arg->data,
                std::min<std::size_t>(sizeof address, static_cast<std::size_t>(Arg->data_len)));
    auto it = std::find_if(pending.begin(), pending.end(), [&](const PendingUrb& p) {
        return p.client == Client && p.held && p.urb->client_addr == address;
    });
    if (it == pending.end()) {
        umockdev_ioctl_client_complete(Client, -1, EINVAL);
        return;
    }
    it->held = false;
    it->status = -ENOENT;
    it->actualLength = 0;
    umockdev_ioctl_client_complete(Client, 0, 0);
}

gboolean EmulatedFt232r::State::HandleIoctl(UMockdevIoctlClient* Client) {
    const gulong request = umockdev_ioctl_client_get_request(Client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(Client);
    std::lock_guard lock(mutex);
    if (unplugged || Stale(Client)) {
        // As the kernel kills a gone device's URBs and still lets them be reaped: what was
        // answered comes back as it was, what was held as shut down (-ESHUTDOWN); then ENODEV.
        // Otherwise a transfer in flight at the unplug would never end for libusb, which waits
        // for it to be reaped.
        const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        const auto mine = [&](const PendingUrb& p) { return p.client == Client; };
        if (reap && std::any_of(pending.begin(), pending.end(), mine)) {
            for (PendingUrb& p : pending)
                if (mine(p) && p.held) {
                    p.held = false;
                    p.status = -ESHUTDOWN;
                    p.actualLength = 0;
                }
            Reap(Client, arg);
            return TRUE;
        }
        umockdev_ioctl_client_complete(Client, -1, ENODEV);
        return TRUE;
    }
    // Resolves the argument as a T, lets Fill change it and completes with (Result, Errno).
    auto withArg = [&](std::size_t Size, auto Fill) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, Size, nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(Client, -1, EFAULT);
            return;
        }
        const int error = Fill(d->data);
        g_object_unref(d);
        umockdev_ioctl_client_complete(Client, error == 0 ? 0 : -1, error);
    };

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            withArg(sizeof(std::uint32_t), [](std::uint8_t* p) {
                const std::uint32_t caps =
                    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                std::memcpy(p, &caps, sizeof caps);
                return 0;
            });
            return TRUE;
        case USBDEVFS_CLAIMINTERFACE:
            withArg(sizeof(unsigned int), [&](std::uint8_t* p) {
                unsigned int interface = 0;
                std::memcpy(&interface, p, sizeof interface);
                if (interface != 0) return ENOENT;
                if (busy || kernelDriver || (ClaimHeld() && claimOwner != Client)) return EBUSY;
                claimOwner = Client;
                return 0;
            });
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
            withArg(sizeof(unsigned int), [&](std::uint8_t*) {
                if (claimOwner != Client) return EINVAL;
                claimOwner = nullptr;
                return 0;
            });
            return TRUE;
        case USBDEVFS_GETDRIVER:
            withArg(sizeof(usbdevfs_getdriver), [&](std::uint8_t* p) {
                auto* g = reinterpret_cast<usbdevfs_getdriver*>(p);
                const char* name = DriverName();
                if (name == nullptr) return ENODATA;
                std::snprintf(g->driver, sizeof g->driver, "%s", name);
                return 0;
            });
            return TRUE;
        case USBDEVFS_DISCONNECT_CLAIM:
            withArg(sizeof(usbdevfs_disconnect_claim), [&](std::uint8_t* p) {
                const auto* dc = reinterpret_cast<const usbdevfs_disconnect_claim*>(p);
                if (dc->interface != 0) return EINVAL;
                if (const char* name = DriverName()) {
                    const bool named = std::strncmp(dc->driver, name, sizeof dc->driver) == 0;
                    if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named) return EBUSY;
                    if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named)
                        return EBUSY;
                    Unbind();
                }
                claimOwner = Client;
                return 0;
            });
            return TRUE;
        case USBDEVFS_IOCTL: {
            // Completes with ioctl's result: CONNECT answers 1 when a driver bound.
            UMockdevIoctlData* d =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            if (d == nullptr) {
                umockdev_ioctl_client_complete(Client, -1, EFAULT);
                return TRUE;
            }
            const int code = reinterpret_cast<const usbdevfs_ioctl*>(d->data)->ioctl_code;
            g_object_unref(d);
            int result = 0, error = 0;
            if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                // Whatever holds the interface lets go, another program's claim included.
                if (DriverName() == nullptr) error = ENODATA;
                Unbind();
            } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (DriverName() != nullptr) {
                    error = EBUSY;
                } else if (config.KernelDriverBound) {
                    kernelDriver = true;  // ftdi_sio probes the free interface again
                    ++rebinds;
                    result = 1;
                }
            } else {
                error = ENOTTY;
            }
            umockdev_ioctl_client_complete(Client, error == 0 ? result : -1, error);
            return TRUE;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(Client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            Submit(Client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Reap(Client, arg);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            Discard(Client, arg);
            return TRUE;
        default:
            return FALSE;
    }
}

EmulatedFt232r::EmulatedFt232r(std::unique_ptr<State> Impl) : state_(std::move(Impl)) {}

EmulatedFt232r::~EmulatedFt232r() {
    if (state_->handler != nullptr) {
        g_signal_handlers_disconnect_by_data(state_->handler, state_.get());
        g_object_unref(state_->handler);
    }
    for (const PendingUrb& p : state_->pending) g_object_unref(p.urb);
    for (UMockdevIoctlClient* client : state_->clients) g_object_unref(client);
}

template <class Fn>
auto EmulatedFt232r::With(Fn&& F) const {
    std::lock_guard lock(state_->mutex);
    return F(*state_);
}

std::uint8_t EmulatedFt232r::Latch() const {
    return With([](State& s) { return s.latch; });
}
std::uint8_t EmulatedFt232r::Pins() const {
    return With([](State& s) { return s.PinsLocked(); });
}
std::uint8_t EmulatedFt232r::BitMask() const {
    return With([](State& s) { return s.mask; });
}
std::uint8_t EmulatedFt232r::BitMode() const {
    return With([](State& s) { return s.mode; });
}
std::uint16_t EmulatedFt232r::BaudDivisorValue() const {
    return With([](State& s) { return s.divisorValue; });
}
std::uint16_t EmulatedFt232r::BaudDivisorIndex() const {
    return With([](State& s) { return s.divisorIndex; });
}
std::uint32_t EmulatedFt232r::BaudRate() const {
    return With(
        [](State& s) { return s.baudSet ? DecodeBaudRate(s.divisorValue, s.divisorIndex) : 0u; });
}
std::uint8_t EmulatedFt232r::LatencyTimer() const {
    return With([](State& s) { return s.latency; });
}
EepromWords EmulatedFt232r::Eeprom() const {
    return With([](State& s) { return s.eeprom; });
}
std::vector<Transfer> EmulatedFt232r::Log() const {
    return With([](State& s) { return s.log; });
}
bool EmulatedFt232r::Claimed() const {
    return With([](State& s) { return s.ClaimHeld(); });
}
bool EmulatedFt232r::KernelDriverBound() const {
    return With([](State& s) { return s.kernelDriver; });
}
int EmulatedFt232r::Unbinds() const {
    return With([](State& s) { return s.unbinds; });
}
int EmulatedFt232r::Rebinds() const {
    return With([](State& s) { return s.rebinds; });
}
bool EmulatedFt232r::Busy() const {
    return With([](State& s) { return s.busy; });
}

int EmulatedFt232r::OpenFiles() const {
    return With([](State& s) {
        return static_cast<int>(
            std::count_if(s.clients.begin(), s.clients.end(), [](UMockdevIoctlClient* c) {
                return umockdev_ioctl_client_get_connected(c) != FALSE;
            }));
    });
}

int EmulatedFt232r::HeldTransfers() const {
    return With([](State& s) {
        return static_cast<int>(std::count_if(s.pending.begin(), s.pending.end(),
                                              [](const PendingUrb& p) { return p.held; }));
    });
}

std::size_t EmulatedFt232r::ControlCount(std::uint8_t Request) const {
    return With([&](State& s) {
        return static_cast<std::size_t>(
            std::count_if(s.log.begin(), s.log.end(), [&](const Transfer& t) {
                return t.kind == Transfer::Kind::Control && t.Request == Request;
            }));
    });
}

std::size_t EmulatedFt232r::BulkOutCount() const {
    return With([](State& s) {
        return static_cast<std::size_t>(
            std::count_if(s.log.begin(), s.log.end(),
                          [](const Transfer& t) { return t.kind == Transfer::Kind::BulkOut; }));
    });
}

std::vector<std::uint8_t> EmulatedFt232r::BulkOutBytes() const {
    return With([](State& s) {
        Bytes all;
        for (const Transfer& t : s.log)
            if (t.kind == Transfer::Kind::BulkOut)
                all.insert(all.end(), t.Data.begin(), t.Data.end());
        return all;
    });
}

void EmulatedFt232r::SetInputs(std::uint8_t Levels) {
    With([&](State& s) { s.inputs = Levels; });
}
void EmulatedFt232r::ClearLog() {
    With([](State& s) { s.log.clear(); });
}
void EmulatedFt232r::WriteEeprom(const EepromWords& Words) {
    With([&](State& s) { s.eeprom = Words; });
}
void EmulatedFt232r::SetBusy(bool Busy) {
    With([&](State& s) { s.busy = Busy; });
}
void EmulatedFt232r::FailNext(std::uint8_t Request, int Errno) {
    With([&](State& s) { s.failNext = std::pair{Request, Errno}; });
}
void EmulatedFt232r::SetAnswering(bool Answering) {
    With([&](State& s) { s.answering = Answering; });
}

void EmulatedFt232r::GoSilentAt(std::uint8_t Request) {
    With([&](State& s) { s.silentAt = Request; });
}

void EmulatedFt232r::Unplug() {
    if (With([](State& s) { return std::exchange(s.unplugged, true); })) return;
    umockdev_testbed_uevent(state_->testbed, state_->sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(state_->testbed, state_->sysPath.c_str());
}

void EmulatedFt232r::Replug() {
    const bool wasUnplugged = With([](State& s) {
        if (!s.unplugged) return false;
        s.unplugged = false;
        s.firstLiveClient = s.clients.size();
        s.latch = s.mask = s.mode = 0;
        s.latency = 16;
        s.divisorValue = s.divisorIndex = 0;
        s.baudSet = s.busy = false;
        s.answering = true;
        s.kernelDriver = s.config.KernelDriverBound;
        s.claimOwner = nullptr;
        s.failNext.reset();
        s.silentAt.reset();
        return true;
    });
    if (!wasUnplugged) return;
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, state_->record.c_str(), &error)) {
        const std::string message = error ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    umockdev_testbed_uevent(state_->testbed, state_->sysPath.c_str(), "add");
}

const std::string& EmulatedFt232r::SysPath() const { return state_->sysPath; }
const std::string& EmulatedFt232r::DevNode() const { return state_->devNode; }

struct Testbed::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<EmulatedFt232r>> boards;
};

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed == nullptr) throw std::runtime_error("umockdev_testbed_new failed");
}

Testbed::~Testbed() {
    // Stop the worker answering before the boards' state goes away.
    for (const auto& board : impl_->boards)
        umockdev_testbed_detach_ioctl(impl_->testbed, board->DevNode().c_str(), nullptr);
    g_object_unref(impl_->testbed);
    impl_->boards.clear();
}

bool Testbed::PreloadActive() {
    UMockdevTestbed* probe = umockdev_testbed_new();
    const bool active = umockdev_in_mock_environment();
    g_object_unref(probe);
    return active;
}

EmulatedFt232r& Testbed::Add(const BoardConfig& Config) {
    const int k = static_cast<int>(impl_->boards.size());
    if (k >= kMaxBoards) throw std::length_error("too many emulated boards");

    auto s = std::make_unique<EmulatedFt232r::State>();
    s->config = Config;
    s->testbed = impl_->testbed;
    s->eeprom = InitialEeprom(Config);
    s->kernelDriver = Config.KernelDriverBound;
    // With an intact EEPROM the chip serves its strings; otherwise its built-in defaults.
    s->descriptorStrings =
        DecodeStrings(s->eeprom).value_or(EepromStrings{"FTDI", "FT232R USB UART", ""});
    const auto& ds = s->descriptorStrings;
    s->deviceDescriptor = {0x12,
                           0x01,
                           0x00,
                           0x02,
                           0x00,
                           0x00,
                           0x00,
                           0x08,
                           static_cast<std::uint8_t>(Config.VendorId & 0xFF),
                           static_cast<std::uint8_t>(Config.VendorId >> 8),
                           static_cast<std::uint8_t>(Config.ProductId & 0xFF),
                           static_cast<std::uint8_t>(Config.ProductId >> 8),
                           0x00,
                           0x06,
                           static_cast<std::uint8_t>(ds.Manufacturer.empty() ? 0 : 1),
                           static_cast<std::uint8_t>(ds.Product.empty() ? 0 : 2),
                           static_cast<std::uint8_t>(ds.Serial.empty() ? 0 : 3),
                           0x01};
    s->configDescriptor = {
        0x09, 0x02, 0x20,         0x00, 0x01, 0x01, 0x00, 0xA0, 0x2D,  // configuration
        0x09, 0x04, 0x00,         0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,  // interface 0
        0x07, 0x05, kInEndpoint,  0x02, 0x40, 0x00, 0x00,              // bulk IN
        0x07, 0x05, kOutEndpoint, 0x02, 0x40, 0x00, 0x00};             // bulk OUT

    const int devnum = k + 2;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    s->devNode = node;

    // Attach first, so that the node answers as soon as the add event is seen.
    s->handler = umockdev_ioctl_base_new();
    using State = EmulatedFt232r::State;
    g_signal_connect_after(s->handler, "handle-ioctl", G_CALLBACK(&State::OnIoctl), s.get());
    g_signal_connect(s->handler, "client-connected", G_CALLBACK(&State::OnConnected), s.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, node, s->handler, &error)) {
        const std::string message = error ? error->message : "attach_ioctl failed";
        g_clear_error(&error);
        g_object_unref(s->handler);
        throw std::runtime_error(message);
    }

    // libusb lists devices in reverse sysfs order: the names count down so that the board added
    // first is listed first.
    Bytes descriptors = s->deviceDescriptor;
    descriptors.insert(descriptors.end(), s->configDescriptor.begin(), s->configDescriptor.end());
    char text[1024];
    std::snprintf(text, sizeof text,
                  "P: /devices/usb1/1-%d\n"
                  "N: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: DEVNAME=%s\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "H: descriptors=%s\n",
                  kMaxBoards - k, devnum, devnum, node, devnum, Hex(descriptors).c_str());
    s->record = text + UdevStrings(Config.VendorId, Config.ProductId, ds);
    if (!umockdev_testbed_add_from_string(impl_->testbed, s->record.c_str(), &error)) {
        const std::string message = error ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/sys/devices/usb1/1-%d", kMaxBoards - k);
    s->sysPath = path;

    impl_->boards.push_back(std::unique_ptr<EmulatedFt232r>(new EmulatedFt232r(std::move(s))));
    return *impl_->boards.back();
}

std::size_t Testbed::Size() const { return impl_->boards.size(); }

bool Testbed::WaitUntilAllClosed(int TimeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        int open = 0;
        for (const auto& board : impl_->boards) open += board->OpenFiles();
        if (open == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace ft232r
