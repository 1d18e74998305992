// The emulated USB adapter: answers libusb's usbdevfs requests from a driver backend.
#include "tests/usb/usb_emulator.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace {

void AppendLe16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendEndpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t type, uint16_t packet, uint8_t interval)
{
    out.insert(out.end(), {7, 5, address, type});
    AppendLe16(out, packet);
    out.push_back(interval);
}

}  // namespace

std::string HexText(const uint8_t* bytes, size_t length)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::vector<AltSettingSpec> Ds2490AltSettings()
{
    return {{10, 16}, {1, 16}, {10, 64}, {1, 64}};
}

std::vector<uint8_t> Ds2490Descriptors(const std::vector<AltSettingSpec>& settings)
{
    std::vector<uint8_t> out = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x40};
    AppendLe16(out, 0x04FA);
    AppendLe16(out, 0x2490);
    AppendLe16(out, 0x0100);
    out.insert(out.end(), {0, 0, 0, 1});

    std::vector<uint8_t> config = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    for (size_t i = 0; i < settings.size(); ++i) {
        config.insert(config.end(), {9, 4, 0, static_cast<uint8_t>(i), 3, 0xFF, 0xFF, 0xFF, 0});
        AppendEndpoint(config, 0x81, 3, 32, settings[i].interval_ms);
        AppendEndpoint(config, 0x02, 2, settings[i].bulk_packet, 0);
        AppendEndpoint(config, 0x83, 2, settings[i].bulk_packet, 0);
    }
    config[2] = static_cast<uint8_t>(config.size() & 0xFF);
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    out.insert(out.end(), config.begin(), config.end());
    return out;
}

// One URB libusb submitted and has not reaped yet.
struct PendingUrb {
    UMockdevIoctlData* urb = nullptr;     // the usbdevfs_urb, in the client's memory
    UMockdevIoctlData* buffer = nullptr;  // its data buffer
    unsigned long address = 0;            // the URB's address in the client
    bool ready = false;
    int status = 0;
    int actual_length = 0;
};

struct EmulatedAdapter {
    UsbEmulator::Impl* owner = nullptr;
    const DriverOps* ops = nullptr;
    void* context = nullptr;
    int bus = 1;
    int address = 2;
    std::string sysfs_path;
    std::string node;  // bus/usb/BBB/DDD
    std::string description;
    UMockdevIoctlBase* handler = nullptr;

    // Guarded by the owner's mutex: the handler runs on umockdev's thread.
    bool plugged = true;
    bool kernel_bound = false;
    bool refuse_detach = false;
    bool claim_busy = false;
    bool claimed = false;
    std::vector<int> alt_settings;
    std::vector<std::vector<uint8_t>> control_requests;
    std::deque<PendingUrb> urbs;
    // Reaped URBs written in umockdev's ioctl-recording format, or null.
    FILE* record = nullptr;
    int record_depth = 0;
};

struct UsbEmulator::Impl {
    UMockdevTestbed* testbed = nullptr;
    mutable std::mutex lock;
    std::vector<std::unique_ptr<EmulatedAdapter>> adapters;
};

namespace {

// Runs the transfer against the backend. Returns false for a bulk read that
// has nothing yet (the URB stays pending, as a device NAKs).
bool Execute(EmulatedAdapter& a, PendingUrb& p)
{
    auto* urb = reinterpret_cast<usbdevfs_urb*>(p.urb->data);
    uint8_t* data = p.buffer != nullptr ? p.buffer->data : nullptr;
    const int length = p.buffer != nullptr ? p.buffer->data_len : 0;
    p.status = 0;
    p.actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (length < 8) {
            p.status = -EINVAL;
            return true;
        }
        a.control_requests.emplace_back(data, data + 8);
        const uint16_t setup_length = static_cast<uint16_t>(data[6] | data[7] << 8);
        uint8_t record[VENDOR_REQUEST_SIZE] = {};
        std::memcpy(record, data, 8);
        if (setup_length != 0 || !a.ops->vendor_request(a.context, record))
            p.status = -EPIPE;
        return true;
    }
    if (urb->endpoint == 0x81) {
        uint32_t got = 0;
        if (!a.ops->query_status(a.context, data, static_cast<uint32_t>(length), &got))
            p.status = -EPIPE;
        else
            p.actual_length = static_cast<int>(got);
        return true;
    }
    if (urb->endpoint == 0x02) {
        uint32_t done = 0;
        if (!a.ops->write(a.context, data, static_cast<uint32_t>(length), &done))
            p.status = -EPIPE;
        else
            p.actual_length = static_cast<int>(done);
        return true;
    }
    if (urb->endpoint == 0x83) {
        uint32_t done = 0;
        if (!a.ops->read(a.context, data, static_cast<uint32_t>(length), &done)) {
            p.status = -EPIPE;
            return true;
        }
        p.actual_length = static_cast<int>(done);
        return done > 0;
    }
    p.status = -EINVAL;
    return true;
}

// One reaped URB as umockdev-record writes it for a libusb program (which
// reaps with REAPURBNDELAY): each URB a child of the one
// before (one more space of indent), type, endpoint, status, flags, buffer
// length, actual length, error count, then the data (what came in for an IN
// endpoint, what went out otherwise) in hex.
void RecordUrb(EmulatedAdapter& a, const usbdevfs_urb& urb, const uint8_t* data)
{
    if (a.record == nullptr)
        return;
    std::fprintf(a.record, "%*sUSBDEVFS_REAPURBNDELAY 0 %u %u %i %u %i %i %i ", a.record_depth, "",
                 static_cast<unsigned>(urb.type), static_cast<unsigned>(urb.endpoint), urb.status,
                 static_cast<unsigned>(urb.flags), urb.buffer_length, urb.actual_length, urb.error_count);
    const int length = (urb.endpoint & 0x80) != 0 ? urb.actual_length : urb.buffer_length;
    if (data != nullptr && length > 0)
        std::fputs(HexText(data, static_cast<size_t>(length)).c_str(), a.record);
    std::fputc('\n', a.record);
    ++a.record_depth;
}

void ReleaseUrb(PendingUrb& p)
{
    if (p.buffer != nullptr)
        g_object_unref(p.buffer);
    if (p.urb != nullptr)
        g_object_unref(p.urb);
    p.buffer = p.urb = nullptr;
}

unsigned long PointerArgument(UMockdevIoctlData* arg)
{
    if (arg == nullptr)
        return 0;
    if (arg->data_len >= static_cast<int>(sizeof(void*))) {
        unsigned long value = 0;
        std::memcpy(&value, arg->data, sizeof(void*));
        if (value != 0)
            return value;
    }
    return arg->client_addr;
}

// The memory the ioctl's pointer argument points at (a new reference), or nullptr.
UMockdevIoctlData* Pointee(UMockdevIoctlData* arg, size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, length, &error);
    g_clear_error(&error);
    return data;
}

// Answers one usbdevfs request whose argument is a pointer to a T.
template <typename T, typename F>
int WithPointee(UMockdevIoctlData* arg, F answer)
{
    UMockdevIoctlData* data = Pointee(arg, sizeof(T));
    if (data == nullptr)
        return EFAULT;
    const int error = answer(reinterpret_cast<T*>(data->data));
    g_object_unref(data);
    return error;
}

// Answers one usbdevfs request. Returns the errno to report (0 for success).
int Handle(EmulatedAdapter& a, unsigned long request, UMockdevIoctlData* arg, long* result)
{
    *result = 0;
    if (!a.plugged)
        return ENODEV;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return WithPointee<uint32_t>(arg, [](uint32_t* caps) {
            *caps = 0;
            return 0;
        });
    case USBDEVFS_GETDRIVER:
        return WithPointee<usbdevfs_getdriver>(arg, [&a](usbdevfs_getdriver* driver) {
            if (!a.kernel_bound)
                return ENODATA;
            std::snprintf(driver->driver, sizeof driver->driver, "%s", "ds2490");
            return 0;
        });
    case USBDEVFS_IOCTL:
        return WithPointee<usbdevfs_ioctl>(arg, [&a](usbdevfs_ioctl* command) {
            if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (!a.kernel_bound)
                    return ENODATA;
                if (a.refuse_detach)
                    return EPERM;
                a.kernel_bound = false;
                return 0;
            }
            if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                a.kernel_bound = true;
                return 0;
            }
            return ENOTTY;
        });
    case USBDEVFS_CLAIMINTERFACE:
        if (a.claim_busy || a.kernel_bound)
            return EBUSY;
        a.claimed = true;
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        a.claimed = false;
        return 0;
    case USBDEVFS_SETINTERFACE:
        return WithPointee<usbdevfs_setinterface>(arg, [&a](usbdevfs_setinterface* setting) {
            a.alt_settings.push_back(static_cast<int>(setting->altsetting));
            return 0;
        });
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        return 0;
    case USBDEVFS_SUBMITURB: {
        PendingUrb p;
        p.urb = Pointee(arg, sizeof(usbdevfs_urb));
        if (p.urb == nullptr)
            return EFAULT;
        p.address = p.urb->client_addr;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(p.urb->data);
        if (urb->buffer_length > 0) {
            GError* error = nullptr;
            p.buffer = umockdev_ioctl_data_resolve(p.urb, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<gsize>(urb->buffer_length), &error);
            g_clear_error(&error);
            if (p.buffer == nullptr) {
                ReleaseUrb(p);
                return EFAULT;
            }
        }
        p.ready = Execute(a, p);
        a.urbs.push_back(p);
        return 0;
    }
    case USBDEVFS_REAPURBNDELAY: {
        for (auto it = a.urbs.begin(); it != a.urbs.end(); ++it) {
            if (!it->ready)
                it->ready = Execute(a, *it);
            if (!it->ready)
                continue;
            UMockdevIoctlData* slot = Pointee(arg, sizeof(void*));
            if (slot == nullptr)
                return EFAULT;
            PendingUrb p = *it;
            a.urbs.erase(it);
            auto* urb = reinterpret_cast<usbdevfs_urb*>(p.urb->data);
            urb->status = p.status;
            urb->actual_length = p.actual_length;
            RecordUrb(a, *urb, p.buffer != nullptr ? p.buffer->data : nullptr);
            umockdev_ioctl_data_set_ptr(slot, 0, p.urb);
            g_object_unref(slot);
            ReleaseUrb(p);
            return 0;
        }
        return EAGAIN;
    }
    case USBDEVFS_DISCARDURB: {
        const unsigned long address = PointerArgument(arg);
        for (PendingUrb& p : a.urbs) {
            if (p.address == address && !p.ready) {
                p.ready = true;
                p.status = -ENOENT;
                p.actual_length = 0;
                return 0;
            }
        }
        return EINVAL;
    }
    default:
        return ENOTTY;
    }
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data)
{
    auto* adapter = static_cast<EmulatedAdapter*>(user_data);
    long result = 0;
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(adapter->owner->lock);
        error = Handle(*adapter, umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client),
                       &result);
    }
    umockdev_ioctl_client_complete(client, error == 0 ? result : -1, error);
    return TRUE;
}

std::string DeviceText(const EmulatedAdapter& a, const std::vector<uint8_t>& descriptors)
{
    char text[1024];
    snprintf(text, sizeof text,
             "P: %s\n"
             "N: %s\n"
             "E: DEVNAME=/dev/%s\n"
             "E: DEVTYPE=usb_device\n"
             "E: DRIVER=usb\n"
             "E: SUBSYSTEM=usb\n"
             "E: BUSNUM=%03d\n"
             "E: DEVNUM=%03d\n"
             "A: busnum=%d\n"
             "A: devnum=%d\n"
             "A: speed=12\n"
             "A: bConfigurationValue=1\n"
             "A: bNumConfigurations=1\n"
             "A: idVendor=04fa\n"
             "A: idProduct=2490\n",
             a.sysfs_path.c_str(), a.node.c_str(), a.node.c_str(), a.bus, a.address, a.bus, a.address);
    return std::string(text) + "H: descriptors=" + HexText(descriptors.data(), descriptors.size()) + "\n";
}

void AddToTestbed(UMockdevTestbed* testbed, const EmulatedAdapter& a)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, a.description.c_str(), &error)) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot add the adapter: " + message);
    }
}

}  // namespace

UsbEmulator::UsbEmulator() : impl_(new Impl)
{
    impl_->testbed = umockdev_testbed_new();
}

UsbEmulator::~UsbEmulator()
{
    for (auto& a : impl_->adapters) {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(impl_->testbed, ("/dev/" + a->node).c_str(), &error);
        g_clear_error(&error);
        if (a->handler != nullptr)
            g_object_unref(a->handler);
        for (PendingUrb& p : a->urbs)
            ReleaseUrb(p);
        if (a->context != nullptr)
            a->ops->close(a->context);
        if (a->record != nullptr)
            std::fclose(a->record);
    }
    g_object_unref(impl_->testbed);
}

bool UsbEmulator::InMockEnvironment()
{
    return umockdev_in_mock_environment() != FALSE;
}

int UsbEmulator::AddAdapter(const DriverOps* ops, const std::string& device_name, int bus, int address,
                            const std::vector<AltSettingSpec>& settings)
{
    auto adapter = std::make_unique<EmulatedAdapter>();
    adapter->owner = impl_.get();
    adapter->ops = ops;
    adapter->context = ops->open(device_name.c_str());
    if (adapter->context == nullptr)
        return -1;
    adapter->bus = bus;
    adapter->address = address;
    char path[128];
    snprintf(path, sizeof path, "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", bus, bus, address);
    adapter->sysfs_path = path;
    snprintf(path, sizeof path, "bus/usb/%03d/%03d", bus, address);
    adapter->node = path;
    adapter->description = DeviceText(*adapter, Ds2490Descriptors(settings));

    AddToTestbed(impl_->testbed, *adapter);
    adapter->handler = umockdev_ioctl_base_new();
    g_signal_connect(adapter->handler, "handle-ioctl", G_CALLBACK(OnIoctl), adapter.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, ("/dev/" + adapter->node).c_str(), adapter->handler,
                                       &error)) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot attach the ioctl handler: " + message);
    }
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->adapters.push_back(std::move(adapter));
    return static_cast<int>(impl_->adapters.size()) - 1;
}

void UsbEmulator::Unplug(int index)
{
    EmulatedAdapter& a = *impl_->adapters.at(static_cast<size_t>(index));
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        a.plugged = false;
        a.claimed = false;
        for (PendingUrb& p : a.urbs) {
            p.ready = true;
            p.status = -ENODEV;
        }
    }
    umockdev_testbed_remove_device(impl_->testbed, ("/sys" + a.sysfs_path).c_str());
}

void UsbEmulator::Replug(int index)
{
    EmulatedAdapter& a = *impl_->adapters.at(static_cast<size_t>(index));
    AddToTestbed(impl_->testbed, a);
    std::lock_guard<std::mutex> guard(impl_->lock);
    a.plugged = true;
}

void UsbEmulator::SetKernelDriverBound(int index, bool bound)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->adapters.at(static_cast<size_t>(index))->kernel_bound = bound;
}

void UsbEmulator::SetRefuseDetach(int index, bool refuse)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->adapters.at(static_cast<size_t>(index))->refuse_detach = refuse;
}

void UsbEmulator::SetClaimBusy(int index, bool busy)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->adapters.at(static_cast<size_t>(index))->claim_busy = busy;
}

std::string UsbEmulator::DeviceNodePath(int index) const
{
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string path = std::string(root) + "/dev/" + impl_->adapters.at(static_cast<size_t>(index))->node;
    g_free(root);
    return path;
}

bool UsbEmulator::KernelDriverBound(int index) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->adapters.at(static_cast<size_t>(index))->kernel_bound;
}

bool UsbEmulator::Claimed(int index) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->adapters.at(static_cast<size_t>(index))->claimed;
}

std::vector<int> UsbEmulator::AltSettingsSet(int index) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->adapters.at(static_cast<size_t>(index))->alt_settings;
}

bool UsbEmulator::RecordIoctls(int index, const std::string& path)
{
    EmulatedAdapter& a = *impl_->adapters.at(static_cast<size_t>(index));
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    std::fprintf(file, "@DEV /dev/%s (usbdevfs)\n", a.node.c_str());
    std::lock_guard<std::mutex> guard(impl_->lock);
    a.record = file;
    a.record_depth = 0;
    return true;
}

std::string UsbEmulator::Description(int index) const
{
    return impl_->adapters.at(static_cast<size_t>(index))->description;
}

std::vector<std::vector<uint8_t>> UsbEmulator::ControlRequests(int index) const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->adapters.at(static_cast<size_t>(index))->control_requests;
}
